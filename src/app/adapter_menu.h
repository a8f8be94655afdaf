#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "assessment/presentation/adapter_selection_presentation.h"

class QActionGroup;
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
        bool operator==(const Row&) const = default;
    };
    std::vector<Row> rows;
    bool enabled = false;
    bool operator==(const AdapterMenuRows&) const = default;

    static AdapterMenuRows make(const AdapterSelectionPresentation& p);
    // The option's label, numbered when several share it, marked when disconnected.
    static std::string rowLabel(const AdapterSelectionPresentation::Option& option,
                                const std::vector<AdapterSelectionPresentation::Option>& all);
    // The interface a pick of `index` should switch to, or nothing to do.
    static std::optional<int> pick(const AdapterSelectionPresentation& p, std::optional<int> inUse,
                                   std::optional<int> index);
};

// The "Ethernet Adapter" menu over the model: its rows follow the model's current state and a
// triggered row selects its interface through the model's service. The rows are rebuilt only
// when they change, into the one exclusive group the menu keeps for its life, so a long
// session of snapshots neither grows the menu's objects nor disturbs it while it is open.
class AdapterMenu {
  public:
    explicit AdapterMenu(SorvantaModel& model);
    ~AdapterMenu();
    AdapterMenu(const AdapterMenu&) = delete;
    AdapterMenu& operator=(const AdapterMenu&) = delete;

    QMenu* menu() const { return menu_.get(); }
    void refresh();

  private:
    SorvantaModel& model_;
    std::unique_ptr<QMenu> menu_;
    QActionGroup* group_;
    std::optional<AdapterMenuRows> shown_;
};

}  // namespace sorvanta
