#include "assessment/presentation/adapter_selection_presentation.h"

#include <gtest/gtest.h>

#include <functional>

namespace sorvanta {
namespace {

const DisplayFormat en("en_US", "UTC");

WiredInterface usb(int index, std::string label = "USB 10/100/1G/2.5G LAN") {
    WiredInterface i;
    i.identity = {"enx" + std::to_string(index), index};
    i.label = std::move(label);
    i.connectionType = WiredInterface::ConnectionType::usb;
    i.linkActive = true;
    return i;
}

TEST(AdapterSelectionPresentationTest, StatusAndEnabling) {
    struct Case {
        const char* name;
        std::function<void(ServiceSnapshot&)> change;
        bool started;
        const char* status;
        bool enabled;
        std::optional<int> selected;
    };
    const Case cases[] = {
        {"not started", [](auto&) {}, false, "Choose Search Again to detect Ethernet adapters.",
         false, 4},
        {"nothing detected",
         [](auto& s) {
             s.detectedInterfaces.clear(), s.interfaces.clear(), s.selectedIndex.reset();
         },
         true, "No supported Ethernet adapter detected.", false, std::nullopt},
        {"none chosen", [](auto& s) { s.selectedIndex.reset(); }, true,
         "Choose the adapter connected to the other Mac.", true, std::nullopt},
        {"unplugged intended adapter",
         [](auto& s) { s.selectedIndex.reset(), s.intendedInterface = usb(9); }, true,
         "Disconnected. Reconnect this adapter or choose another.", true, 9},
        {"link down despite a speed",
         [](auto& s) {
             s.detectedInterfaces[0].linkActive = false, s.detectedInterfaces[0].linkSpeed = 1e9;
         },
         true, "No active link. Check the cable and the other Mac.", true, 4},
        {"path pending",
         [](auto& s) { s.selectedIndex.reset(), s.intendedInterface = s.detectedInterfaces[0]; },
         true, "Waiting for this adapter\u2019s Ethernet path.", true, 4},
        {"link speed known", [](auto& s) { s.detectedInterfaces[0].linkSpeed = 1'000'000'000; },
         true, "Link connected \u00b7 1 Gbps", true, 4},
        {"verified without speed", [](auto&) {}, true,
         "Ethernet path verified \u00b7 Link speed unavailable", true, 4},
        {"connecting without speed", [](auto& s) { s.state = ConnectionState::connecting; }, true,
         "Adapter selected \u00b7 Link speed unavailable", true, 4},
        {"probing", [](auto& s) { s.state = ConnectionState::probing; }, true,
         "Ethernet path verified \u00b7 Link speed unavailable", false, 4},
        {"test running", [](auto& s) { s.speed.busy = true; }, true,
         "Ethernet path verified \u00b7 Link speed unavailable", false, 4},
        {"none usable", [](auto& s) { s.interfaces.clear(); }, true,
         "Ethernet path verified \u00b7 Link speed unavailable", false, 4},
    };
    for (const auto& c : cases) {
        ServiceSnapshot s;
        s.state = ConnectionState::ready;
        s.detectedInterfaces = s.interfaces = {usb(4)};
        s.selectedIndex = 4;
        c.change(s);
        const AdapterSelectionPresentation menu(s, c.started, en);
        EXPECT_EQ(menu.status, c.status) << c.name;
        EXPECT_EQ(menu.enabled, c.enabled) << c.name;
        EXPECT_EQ(menu.selectedID, c.selected) << c.name;
    }
}

TEST(AdapterSelectionPresentationTest, OptionTitles) {
    ServiceSnapshot s;
    auto gone = usb(2);
    gone.linkSpeed = 1'000'000'000;
    s.intendedInterface = gone;
    s.detectedInterfaces = {usb(7), usb(5), usb(3, "Other")};
    s.interfaces = {usb(5)};
    const AdapterSelectionPresentation menu(s, true, en);
    std::vector<std::pair<std::string, bool>> titles;
    for (const auto& option : menu.options) {
        titles.emplace_back(option.title, option.available);
    }
    const std::vector<std::pair<std::string, bool>> expected{
        {"USB adapter \u00b7 USB 10/100/1G/2.5G LAN \u00b7 Port 1 \u00b7 Disconnected", false},
        {"USB adapter \u00b7 Other", false},
        {"USB adapter \u00b7 USB 10/100/1G/2.5G LAN \u00b7 Port 2", true},
        {"USB adapter \u00b7 USB 10/100/1G/2.5G LAN \u00b7 Port 3", false},
    };
    EXPECT_EQ(titles, expected);
    EXPECT_FALSE(menu.options[0].adapter.linkSpeed || menu.options[0].adapter.linkActive);
    EXPECT_EQ(menu.selectedID, 2);
}

}  // namespace
}  // namespace sorvanta
