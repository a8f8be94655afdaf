#include "app/element_accessibility.h"

#include <QAccessibleWidget>
#include <QPointer>
#include <QWidget>
#include <optional>

namespace sorvanta {
namespace {

const AccessibleElements* elementsOf(const QWidget* widget) {
    return dynamic_cast<const AccessibleElements*>(widget);
}

// One element: no object of its own, it reads its widget's elements each time it is asked,
// so it never shows a stale text; it is valid while its widget still has that many.
class ElementInterface final : public QAccessibleInterface {
  public:
    ElementInterface(QWidget* widget, int index) : widget_(widget), index_(index) {}

    bool isValid() const override { return element().has_value(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override {
        return widget_ ? widget_->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface* parent() const override {
        return widget_ ? QAccessible::queryAccessibleInterface(widget_.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        state.invisible = !widget_ || !widget_->isVisible();
        return state;
    }
    QString text(QAccessible::Text t) const override {
        const auto e = element();
        if (!e)
            return {};
        switch (t) {
            case QAccessible::Name:
                return e->name;
            case QAccessible::Value:
                return e->value;
            case QAccessible::Description:
                return e->description;
            default:
                return {};
        }
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        const auto e = element();
        if (!e)
            return {};
        return {widget_->mapToGlobal(e->rect.topLeft()), e->rect.size()};
    }

  private:
    std::optional<AccessibleElement> element() const {
        if (!widget_)
            return std::nullopt;
        const AccessibleElements* source = elementsOf(widget_);
        if (!source)
            return std::nullopt;
        auto all = source->accessibleElements();
        if (index_ >= static_cast<int>(all.size()))
            return std::nullopt;
        return all[static_cast<std::size_t>(index_)];
    }

    QPointer<QWidget> widget_;
    int index_;
};

// The widget as a group of its elements followed by its child widgets. The element
// interfaces are made on first request and belong to the accessibility cache, which this
// interface asks to drop them when the widget goes.
class ElementsWidgetInterface final : public QAccessibleWidget {
  public:
    explicit ElementsWidgetInterface(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::Grouping) {}
    ~ElementsWidgetInterface() override {
        for (QAccessible::Id id : ids_)
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return count() + QAccessibleWidget::childCount(); }
    QAccessibleInterface* child(int index) const override {
        if (index < 0)
            return nullptr;
        if (index >= count())
            return QAccessibleWidget::child(index - count());
        while (static_cast<int>(ids_.size()) <= index)
            ids_.push_back(QAccessible::registerAccessibleInterface(
                new ElementInterface(widget(), static_cast<int>(ids_.size()))));
        return QAccessible::accessibleInterface(ids_[static_cast<std::size_t>(index)]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const QAccessible::Id id = QAccessible::uniqueId(const_cast<QAccessibleInterface*>(child));
        for (std::size_t i = 0; i < ids_.size() && static_cast<int>(i) < count(); ++i)
            if (ids_[i] == id)
                return static_cast<int>(i);
        const int other = QAccessibleWidget::indexOfChild(child);
        return other < 0 ? -1 : other + count();
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint local = widget()->mapFromGlobal(QPoint(x, y));
        const auto all = elements();
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i].rect.contains(local))
                return child(static_cast<int>(i));
        return QAccessibleWidget::childAt(x, y);
    }

  private:
    // None while the widget is being taken apart.
    std::vector<AccessibleElement> elements() const {
        const AccessibleElements* source = elementsOf(widget());
        return source ? source->accessibleElements() : std::vector<AccessibleElement>{};
    }
    int count() const { return static_cast<int>(elements().size()); }

    mutable std::vector<QAccessible::Id> ids_;
};

QAccessibleInterface* elementsFactory(const QString&, QObject* object) {
    if (!object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    return elementsOf(widget) ? new ElementsWidgetInterface(widget) : nullptr;
}

}  // namespace

void installElementAccessibility() {
    QAccessible::installFactory(elementsFactory);
}

void elementsChanged(QObject* widget) {
    if (!QAccessible::isActive())
        return;
    QAccessibleEvent event(widget, QAccessible::ObjectReorder);
    QAccessible::updateAccessibility(&event);
}

}  // namespace sorvanta
