#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>

class QPainter;

namespace sorvanta {

// The few symbols the windows use, drawn with paths of our own so that nothing depends on an
// icon theme. Each fills the height of `box` and is centred in it; `weight` scales the
// stroke (1 regular, about 1.3 semibold).
enum class Symbol { arrowRight, arrowLeft, stop, copy, lock, questionMark, computer, waveform };

void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color,
                double weight = 1);

// An indeterminate progress indicator: an open ring turning once a second, read at `now`
// seconds; held in one position when `still`.
void drawSpinner(QPainter& painter, const QRectF& box, const QColor& color, double now, bool still);

// The symbol as an icon for buttons, drawn at `size` pixels.
QIcon symbolIcon(Symbol symbol, const QColor& color, int size);

}  // namespace sorvanta
