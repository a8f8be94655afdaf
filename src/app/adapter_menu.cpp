#include "app/adapter_menu.h"

#include <QActionGroup>
#include <QMenu>

#include "model/sorvanta_model.h"

namespace sorvanta {

std::string AdapterMenuRows::rowLabel(
    const AdapterSelectionPresentation::Option& x,
    const std::vector<AdapterSelectionPresentation::Option>& all) {
    std::string text = x.adapter.label;
    std::vector<int> same;
    for (const auto& o : all)
        if (o.adapter.label == x.adapter.label)
            same.push_back(o.adapter.identity.index);
    if (same.size() >= 2) {
        const auto it = std::find(same.begin(), same.end(), x.adapter.identity.index);
        text += " (" + std::to_string(it - same.begin() + 1) + ")";
    }
    const std::string_view suffix = "Disconnected";
    if (x.title.size() >= suffix.size() &&
        x.title.compare(x.title.size() - suffix.size(), suffix.size(), suffix) == 0)
        text += " \u2014 disconnected";
    return text;
}

AdapterMenuRows AdapterMenuRows::make(const AdapterSelectionPresentation& p) {
    AdapterMenuRows menu;
    menu.enabled = p.enabled;
    if (p.options.empty())
        menu.rows.push_back({"None Detected", std::nullopt, true, !p.selectedID});
    for (const auto& option : p.options) {
        const int index = option.adapter.identity.index;
        menu.rows.push_back(
            {rowLabel(option, p.options), index, option.available, p.selectedID == index});
    }
    return menu;
}

std::optional<int> AdapterMenuRows::pick(const AdapterSelectionPresentation& p,
                                         std::optional<int> inUse, std::optional<int> index) {
    if (!p.enabled || !index || inUse == index)
        return std::nullopt;
    for (const auto& option : p.options)
        if (option.adapter.identity.index == *index && option.available)
            return index;
    return std::nullopt;
}

AdapterMenu::AdapterMenu(SorvantaModel& model)
    : model_(model),
      menu_(std::make_unique<QMenu>(QStringLiteral("Ethernet Adapter"))),
      group_(new QActionGroup(menu_.get())) {
    group_->setExclusive(true);
    refresh();
}

AdapterMenu::~AdapterMenu() = default;

void AdapterMenu::refresh() {
    const AdapterSelectionPresentation p(model_.display(), model_.started());
    AdapterMenuRows rows = AdapterMenuRows::make(p);
    if (shown_ == rows)
        return;
    // The rows' actions belong to the menu, which deletes them here; each leaves the group
    // as it goes.
    menu_->clear();
    for (const auto& row : rows.rows) {
        QAction* action = menu_->addAction(QString::fromStdString(row.text));
        action->setCheckable(true);
        action->setChecked(row.checked);
        action->setEnabled(rows.enabled && row.enabled);
        group_->addAction(action);
        QObject::connect(
            action, &QAction::triggered, menu_.get(), [&model = model_, index = row.index] {
                const AdapterSelectionPresentation now(model.display(), model.started());
                if (auto choice = AdapterMenuRows::pick(now, model.display().selectedIndex, index))
                    model.service().selectInterface(*choice);
            });
    }
    shown_ = std::move(rows);
}

}  // namespace sorvanta
