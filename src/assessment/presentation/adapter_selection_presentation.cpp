#include "assessment/presentation/adapter_selection_presentation.h"

#include <algorithm>
#include <map>

#include "assessment/verdict/result_assessment.h"

namespace sorvanta {
namespace {

// Interfaces are the same when name and index agree.
bool same(const WiredInterface& a, const WiredInterface& b) {
    return a.identity == b.identity;
}

bool among(const WiredInterface& interface, const std::vector<WiredInterface>& list) {
    return std::any_of(list.begin(), list.end(), [&](const auto& i) { return same(i, interface); });
}

std::optional<WiredInterface> currentAdapter(const ServiceSnapshot& s) {
    const auto& detected = s.detectedInterfaces;
    if (s.selectedIndex) {
        const auto it = std::find_if(detected.begin(), detected.end(), [&](const auto& i) {
            return i.identity.index == *s.selectedIndex;
        });
        if (it != detected.end()) {
            return *it;
        }
    }
    if (s.intendedInterface) {
        const auto it = std::find_if(detected.begin(), detected.end(),
                                     [&](const auto& i) { return same(i, *s.intendedInterface); });
        return it != detected.end() ? *it : *s.intendedInterface;
    }
    return std::nullopt;
}

std::string statusOf(const ServiceSnapshot& s, const std::optional<WiredInterface>& current,
                     const DisplayFormat& format) {
    if (!current) {
        return s.detectedInterfaces.empty() ? "No supported Ethernet adapter detected."
                                            : "Choose the adapter connected to the other Mac.";
    }
    if (!among(*current, s.detectedInterfaces)) {
        return "Disconnected. Reconnect this adapter or choose another.";
    }
    if (current->linkActive == false) {
        return "No active link. Check the cable and the other Mac.";
    }
    if (!s.selectedIndex) {
        return "Waiting for this adapter\u2019s Ethernet path.";
    }
    if (current->linkSpeed) {
        return "Link connected \u00b7 " + format.rateText(static_cast<double>(*current->linkSpeed));
    }
    const bool verified = s.state == ConnectionState::ready || s.state == ConnectionState::probing;
    return std::string(verified ? "Ethernet path verified" : "Adapter selected") +
           " \u00b7 Link speed unavailable";
}

}  // namespace

AdapterSelectionPresentation::AdapterSelectionPresentation(const ServiceSnapshot& s, bool started,
                                                           const DisplayFormat& format) {
    const auto current = currentAdapter(s);
    auto list = s.detectedInterfaces;
    if (current && !among(*current, s.detectedInterfaces)) {
        auto copy = *current;
        copy.linkSpeed.reset();
        copy.linkActive.reset();
        list.push_back(std::move(copy));
    }
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return a.identity.index < b.identity.index;
    });
    std::map<std::string, int> namesakes;
    for (const auto& interface : list) {
        ++namesakes[interface.title()];
    }
    std::map<std::string, int> positions;
    for (const auto& interface : list) {
        auto title = interface.title();
        if (namesakes[title] >= 2) {
            title += " \u00b7 Port " + std::to_string(++positions[interface.title()]);
        }
        if (!among(interface, s.detectedInterfaces)) {
            title += " \u00b7 Disconnected";
        }
        options.push_back(Option{interface, std::move(title), among(interface, s.interfaces)});
    }
    if (current) {
        selectedID = current->identity.index;
    }
    if (!started) {
        // The command that starts the service is Search Again.
        status = "Choose Search Again to detect Ethernet adapters.";
        return;
    }
    enabled =
        !s.speed.busy && s.state != ConnectionState::probing &&
        std::any_of(options.begin(), options.end(), [](const auto& o) { return o.available; });
    status = statusOf(s, current, format);
}

}  // namespace sorvanta
