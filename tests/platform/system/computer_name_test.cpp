#include "platform/system/computer_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace sorvanta {
namespace {

TEST(ComputerNameTest, ReadsThePrettyHostName) {
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {"PRETTY_HOSTNAME=\"Jane's Laptop\"\nCHASSIS=laptop\n", "Jane's Laptop"},
        {"# PRETTY_HOSTNAME=old\n  PRETTY_HOSTNAME='Lab \"A\"'  \n", "Lab \"A\""},
        {"PRETTY_HOSTNAME=Desk\\ 2\nPRETTY_HOSTNAME=\"Desk \\\"3\\\" \\\\ \\n\"",
         "Desk \"3\" \\ \\n"},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"HOSTNAME=box\nXPRETTY_HOSTNAME=no", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(prettyHostname(text), expected) << text;
    }
    // Without a pretty name, the host name.
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::ifstream in("/etc/machine-info");
    const std::string info{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(computerName(), prettyHostname(info).value_or(host));
}

}  // namespace
}  // namespace sorvanta
