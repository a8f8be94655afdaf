#include "protocol/incomplete_status.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

TEST(IncompleteStatus, PrefixStandsOnce) {
    const std::pair<std::string_view, std::string_view> rows[] = {
        {"Test stopped.", "Incomplete. Test stopped."},
        {"", "Incomplete. "},
        {"Incomplete. Test stopped.", "Incomplete. Test stopped."},
        {"Incomplete.Done", "Incomplete.Done"},
        {"Incomplete.", "Incomplete."},
        {"incomplete. lower case", "Incomplete. incomplete. lower case"},
        {" Incomplete. leading space", "Incomplete.  Incomplete. leading space"},
    };
    for (const auto& [reason, status] : rows)
        EXPECT_EQ(incompleteStatus(reason), status) << reason;
}

TEST(IncompleteStatus, EndDetailLosesOnePrefix) {
    const std::pair<std::string_view, std::string_view> rows[] = {
        {"Incomplete. Test stopped.", "Test stopped."},
        {"Incomplete. ", ""},
        {"Incomplete.x", "Incomplete.x"},
        {"Incomplete. Incomplete. x", "Incomplete. x"},
        {"Test stopped.", "Test stopped."},
        {"Incomplete.", "Incomplete."},
    };
    for (const auto& [status, detail] : rows)
        EXPECT_EQ(withoutIncompletePrefix(status), detail) << status;
    // What one side composes, the other side's end detail gives back.
    for (std::string_view reason : {"Test stopped.", "Data connection lost.", ""})
        EXPECT_EQ(withoutIncompletePrefix(incompleteStatus(reason)), reason);
}

}  // namespace
}  // namespace sorvanta
