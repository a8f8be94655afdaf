#include "app/adapter_menu.h"

#include <gtest/gtest.h>

#include "app/desktop_preferences.h"

namespace sorvanta {
namespace {

using Option = AdapterSelectionPresentation::Option;

Option option(int index, std::string label, std::string title, bool available = true) {
    Option o;
    o.adapter.identity = {"eth" + std::to_string(index), index};
    o.adapter.label = std::move(label);
    o.title = std::move(title);
    o.available = available;
    return o;
}

AdapterSelectionPresentation presentation(std::vector<Option> options, std::optional<int> selected,
                                          bool enabled = true) {
    AdapterSelectionPresentation p(ServiceSnapshot::initial(), true);
    p.options = std::move(options);
    p.selectedID = selected;
    p.enabled = enabled;
    return p;
}

TEST(AdapterMenu, RowsNumberSharedLabelsAndMarkDisconnected) {
    const auto p = presentation({option(2, "USB LAN", "USB LAN"),
                                 option(5, "USB LAN", "USB LAN \u00b7 Disconnected", false),
                                 option(7, "Ethernet", "Ethernet")},
                                5);
    const AdapterMenuRows rows = AdapterMenuRows::make(p);
    ASSERT_EQ(rows.rows.size(), 3u);
    EXPECT_EQ(rows.rows[0].text, "USB LAN (1)");
    EXPECT_EQ(rows.rows[1].text, "USB LAN (2) \u2014 disconnected");
    EXPECT_FALSE(rows.rows[1].enabled);
    EXPECT_TRUE(rows.rows[1].checked);
    EXPECT_EQ(rows.rows[2].text, "Ethernet");
    const AdapterMenuRows none = AdapterMenuRows::make(presentation({}, std::nullopt));
    ASSERT_EQ(none.rows.size(), 1u);
    EXPECT_EQ(none.rows[0].text, "None Detected");
    EXPECT_TRUE(none.rows[0].checked);
}

TEST(AdapterMenu, PicksReachTheServiceOnlyWhenTheyChangeSomething) {
    const std::vector<Option> options = {option(2, "A", "A"), option(5, "B", "B", false)};
    struct Row {
        bool enabled;
        std::optional<int> inUse, picked, expected;
    };
    const Row rows[] = {
        {true, 2, 2, std::nullopt},
        {true, std::nullopt, 2, 2},
        {true, 2, 5, std::nullopt},
        {true, 2, 9, std::nullopt},
        {false, std::nullopt, 2, std::nullopt},
        {true, 2, std::nullopt, std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(AdapterMenuRows::pick(presentation(options, row.inUse, row.enabled), row.inUse,
                                        row.picked),
                  row.expected);
}

TEST(DesktopPreferences, PublishedSettingsWinAndSilenceLeavesDefaults) {
    struct Row {
        std::optional<std::uint32_t> scheme, reduced;
        std::optional<bool> animations, dark, reduce;
    };
    const Row rows[] = {
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {1u, std::nullopt, std::nullopt, true, std::nullopt},
        {2u, 0u, std::nullopt, false, false},
        {0u, 1u, true, std::nullopt, true},
        {std::nullopt, 0u, false, std::nullopt, true},
    };
    for (const Row& row : rows) {
        const auto prefs = DesktopPreferences::resolve(row.scheme, row.reduced, row.animations);
        EXPECT_EQ(prefs.dark, row.dark);
        EXPECT_EQ(prefs.reduceMotion, row.reduce);
    }
    EXPECT_TRUE(DesktopPreferences{}.darkOr(true));
    EXPECT_FALSE(DesktopPreferences{}.motionReduced());
}

}  // namespace
}  // namespace sorvanta
