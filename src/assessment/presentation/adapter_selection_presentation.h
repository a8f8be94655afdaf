#pragma once

#include <optional>
#include <string>
#include <vector>

#include "assessment/text/display_format.h"
#include "protocol/service_snapshot.h"

namespace sorvanta {

// What the Ethernet Adapter menu shows: the wired interfaces to choose from, the one chosen,
// a status line and whether the menu may be used now.
struct AdapterSelectionPresentation {
    struct Option {
        WiredInterface adapter;
        std::string title;
        bool available = false;
        bool operator==(const Option&) const = default;
    };

    std::vector<Option> options;
    std::optional<int> selectedID;
    std::string status;
    bool enabled = false;

    bool operator==(const AdapterSelectionPresentation&) const = default;

    // `started`: whether the network service runs.
    AdapterSelectionPresentation(const ServiceSnapshot& snapshot, bool started,
                                 const DisplayFormat& format = DisplayFormat::current());
};

}  // namespace sorvanta
