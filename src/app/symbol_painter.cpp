#include "app/symbol_painter.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <cmath>

namespace sorvanta {
namespace {

QPen strokePen(const QColor& color, double width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void drawArrow(QPainter& p, const QRectF& r, const QColor& c, double w, bool right) {
    const double s = r.height();
    const double line = std::max(1.0, 0.12 * s * w);
    const double cy = r.center().y();
    const double half = 0.42 * s;
    const double l = r.center().x() - half, rt = r.center().x() + half;
    p.setPen(strokePen(c, line));
    p.setBrush(Qt::NoBrush);
    const double tip = right ? rt : l;
    const double back = right ? tip - 0.4 * s : tip + 0.4 * s;
    p.drawLine(QPointF(l, cy), QPointF(rt, cy));
    QPainterPath head;
    head.moveTo(back, cy - 0.38 * s);
    head.lineTo(tip, cy);
    head.lineTo(back, cy + 0.38 * s);
    p.drawPath(head);
}

}  // namespace

void drawSymbol(QPainter& p, Symbol symbol, const QRectF& box, const QColor& c, double w) {
    const double s = std::min(box.width(), box.height());
    const QRectF r(box.center().x() - s / 2, box.center().y() - s / 2, s, s);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    switch (symbol) {
        case Symbol::arrowRight:
            drawArrow(p, r, c, w, true);
            break;
        case Symbol::arrowLeft:
            drawArrow(p, r, c, w, false);
            break;
        case Symbol::stop:
            p.setPen(Qt::NoPen);
            p.setBrush(c);
            p.drawRoundedRect(r.adjusted(0.15 * s, 0.15 * s, -0.15 * s, -0.15 * s), 0.12 * s,
                              0.12 * s);
            break;
        case Symbol::copy: {
            p.setPen(strokePen(c, std::max(1.0, 0.08 * s * w)));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(QRectF(r.x() + 0.1 * s, r.y() + 0.28 * s, 0.5 * s, 0.62 * s),
                              0.08 * s, 0.08 * s);
            QPainterPath back;
            back.moveTo(r.x() + 0.32 * s, r.y() + 0.2 * s);
            back.lineTo(r.x() + 0.32 * s, r.y() + 0.1 * s);
            back.lineTo(r.x() + 0.82 * s, r.y() + 0.1 * s);
            back.lineTo(r.x() + 0.82 * s, r.y() + 0.7 * s);
            back.lineTo(r.x() + 0.68 * s, r.y() + 0.7 * s);
            p.drawPath(back);
            break;
        }
        case Symbol::lock: {
            p.setPen(strokePen(c, std::max(1.0, 0.12 * s * w)));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(r.x() + 0.3 * s, r.y() + 0.08 * s, 0.4 * s, 0.5 * s), 0, 180 * 16);
            p.drawLine(QPointF(r.x() + 0.3 * s, r.y() + 0.33 * s),
                       QPointF(r.x() + 0.3 * s, r.y() + 0.45 * s));
            p.drawLine(QPointF(r.x() + 0.7 * s, r.y() + 0.33 * s),
                       QPointF(r.x() + 0.7 * s, r.y() + 0.45 * s));
            p.setPen(Qt::NoPen);
            p.setBrush(c);
            p.drawRoundedRect(QRectF(r.x() + 0.18 * s, r.y() + 0.45 * s, 0.64 * s, 0.47 * s),
                              0.08 * s, 0.08 * s);
            break;
        }
        case Symbol::questionMark: {
            p.setPen(strokePen(c, std::max(1.0, 0.11 * s * w)));
            p.setBrush(Qt::NoBrush);
            QPainterPath q;
            q.moveTo(r.x() + 0.3 * s, r.y() + 0.3 * s);
            q.cubicTo(r.x() + 0.3 * s, r.y() + 0.05 * s, r.x() + 0.72 * s, r.y() + 0.02 * s,
                      r.x() + 0.72 * s, r.y() + 0.3 * s);
            q.cubicTo(r.x() + 0.72 * s, r.y() + 0.48 * s, r.x() + 0.5 * s, r.y() + 0.5 * s,
                      r.x() + 0.5 * s, r.y() + 0.68 * s);
            p.drawPath(q);
            p.setPen(Qt::NoPen);
            p.setBrush(c);
            p.drawEllipse(QPointF(r.x() + 0.5 * s, r.y() + 0.88 * s), 0.07 * s, 0.07 * s);
            break;
        }
        case Symbol::computer: {
            const double line = std::max(1.0, 0.05 * s * w);
            p.setPen(strokePen(c, line));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(QRectF(r.x() + 0.16 * s, r.y() + 0.2 * s, 0.68 * s, 0.46 * s),
                              0.04 * s, 0.04 * s);
            QPainterPath base;
            base.moveTo(r.x() + 0.04 * s, r.y() + 0.74 * s);
            base.lineTo(r.x() + 0.96 * s, r.y() + 0.74 * s);
            base.lineTo(r.x() + 0.9 * s, r.y() + 0.8 * s);
            base.lineTo(r.x() + 0.1 * s, r.y() + 0.8 * s);
            base.closeSubpath();
            p.drawPath(base);
            break;
        }
        case Symbol::waveform: {
            p.setPen(strokePen(c, std::max(1.0, 0.08 * s * w)));
            p.setBrush(Qt::NoBrush);
            const double y = r.center().y();
            QPainterPath e;
            e.moveTo(r.x() + 0.02 * s, y);
            e.lineTo(r.x() + 0.3 * s, y);
            e.lineTo(r.x() + 0.4 * s, y - 0.35 * s);
            e.lineTo(r.x() + 0.55 * s, y + 0.35 * s);
            e.lineTo(r.x() + 0.65 * s, y);
            e.lineTo(r.x() + 0.98 * s, y);
            p.drawPath(e);
            break;
        }
    }
    p.restore();
}

void drawSpinner(QPainter& painter, const QRectF& box, const QColor& color, double now,
                 bool still) {
    painter.save();
    painter.setPen(QPen(color, std::max(1.5, box.height() / 6), Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    const int start = still ? 90 * 16 : static_cast<int>(std::fmod(now, 1.0) * -360 * 16);
    painter.drawArc(box, start, 270 * 16);
    painter.restore();
}

QIcon symbolIcon(Symbol symbol, const QColor& color, int size) {
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    drawSymbol(p, symbol, QRectF(0, 0, size, size), color);
    p.end();
    return QIcon(pixmap);
}

}  // namespace sorvanta
