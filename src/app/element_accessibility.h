#pragma once

#include <QRect>
#include <QString>
#include <vector>

class QObject;

namespace sorvanta {

// One thing a person sees on its own inside a widget that paints several (a pass tile, a
// port caption), as assistive technology should meet it.
struct AccessibleElement {
    QString name;
    QString value;
    QString description;
    QRect rect;  // in the widget's own coordinates
};

// A widget that paints several such things offers them through this interface; each becomes
// one accessible element, listed before the widget's own child widgets.
class AccessibleElements {
  public:
    virtual ~AccessibleElements() = default;
    virtual std::vector<AccessibleElement> accessibleElements() const = 0;
};

// Lets assistive technology see the elements of every widget that offers them. Once per
// process, before the first such widget is asked about.
void installElementAccessibility();

// Tells assistive technology that a widget's elements changed (their number, names or
// values).
void elementsChanged(QObject* widget);

}  // namespace sorvanta
