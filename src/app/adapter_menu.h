#pragma once

#include <optional>
#include <string>
#include <vector>

#include "assessment/presentation/adapter_selection_presentation.h"

class QMenu;

namespace sorvanta {

class SorvantaModel;

// The Ethernet Adapter menu: the wired adapters to choose from, the one in use checked, the
// ones that cannot be chosen greyed out; a choice goes to the service.
struct AdapterMenuRows {
    struct Row {
        std::string text;
        std::optional<int> index;  // absent for the "None Detected" row
        bool enabled = true;
        bool checked = false;
    };
    std::vector<Row> rows;
    bool enabled = false;

    static AdapterMenuRows make(const AdapterSelectionPresentation& p);
    // The option's label, numbered when several share it, marked when disconnected.
    static std::string rowLabel(const AdapterSelectionPresentation::Option& option,
                                const std::vector<AdapterSelectionPresentation::Option>& all);
    // The interface a pick of `index` should switch to, or nothing to do.
    static std::optional<int> pick(const AdapterSelectionPresentation& p, std::optional<int> inUse,
                                   std::optional<int> index);
};

// Fills `menu` with the rows for the model's current state; a triggered row selects its
// interface through the model's service.
void fillAdapterMenu(QMenu& menu, SorvantaModel& model);

}  // namespace sorvanta
