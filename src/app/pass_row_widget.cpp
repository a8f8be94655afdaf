#include "app/pass_row_widget.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <cmath>
#include <numbers>

#include "app/stage_geometry.h"
#include "app/symbol_painter.h"

namespace sorvanta {
namespace {

constexpr double captionHeight = 18;

}  // namespace

PortLabelsWidget::PortLabelsWidget(std::shared_ptr<Clock> clock, QWidget* parent)
    : QWidget(parent), clock_(std::move(clock)) {
    setFixedSize(static_cast<int>(m_.width), static_cast<int>(captionHeight));
    timer_.setInterval(16);
    connect(&timer_, &QTimer::timeout, this, [this] {
        update();
        updateTimer();
    });
}

void PortLabelsWidget::Slot::set(PortCaption next, double now) {
    if (next == caption)
        return;
    leaving = std::move(caption);
    caption = std::move(next);
    changedAt = now;
}

double PortLabelsWidget::Slot::shown(double now) const {
    return Tween{0, 1, changedAt, fadeSeconds}.value(now);
}

void PortLabelsWidget::setPorts(std::optional<std::uint64_t> local,
                                std::optional<std::uint64_t> peer, bool noLocal, bool starting) {
    // With motion reduced, a new caption stands at once.
    const double now = appearance_.reduceMotion ? -1e9 : clock_->now();
    const PortCaption before[] = {local_.caption, peer_.caption};
    local_.set(PortCaption::local(local, noLocal, starting), now);
    peer_.set(PortCaption::peer(peer), now);
    if (!(before[0] == local_.caption) || !(before[1] == peer_.caption))
        elementsChanged(this);
    updateTimer();
    update();
}

void PortLabelsWidget::setAppearance(const Appearance& appearance) {
    appearance_ = appearance;
    updateTimer();
    update();
}

void PortLabelsWidget::setWindowVisible(bool visible) {
    visible_ = visible;
    updateTimer();
}

void PortLabelsWidget::nudge() {
    if (appearance_.reduceMotion || local_.caption.kind != PortCaption::Kind::noAdapter)
        return;
    pulseStart_ = clock_->now();
    updateTimer();
}

void PortLabelsWidget::updateTimer() {
    const double now = clock_->now();
    if (pulseStart_ && now > *pulseStart_ + 0.35 + 0.8)
        pulseStart_.reset();
    const bool fading = local_.shown(now) < 1 || peer_.shown(now) < 1;
    const bool spinning = local_.caption.kind == PortCaption::Kind::starting;
    if ((pulseStart_ || fading || spinning) && visible_ && !appearance_.reduceMotion) {
        if (!timer_.isActive())
            timer_.start();
    } else {
        timer_.stop();
    }
}

double PortLabelsWidget::pulseScale() const {
    if (!pulseStart_)
        return 1;
    const double now = clock_->now();
    if (now < *pulseStart_ + 0.35)
        return Tween{1, 1.3, *pulseStart_, 0.15, CubicBezier::easeOut()}.value(now);
    return Tween{1.3, 1, *pulseStart_ + 0.35, 0.8}.value(now);
}

void PortLabelsWidget::paintCaption(QPainter& p, const PortCaption& caption, double slotX,
                                    double scale, double now) {
    if (caption.kind == PortCaption::Kind::none)
        return;
    const Palette& palette = appearance_.palette;
    const QFont font = uiFont(m_.name - 3, QFont::Medium);
    const QFontMetricsF metrics(font);
    const QString text = QString::fromStdString(caption.text);
    const double iconW = 0.85 * m_.name, iconH = 0.72 * m_.name, spacing = 0.3 * m_.name;
    const bool starting = caption.kind == PortCaption::Kind::starting;
    // The indicator is a square as tall as the port icon.
    const double leadW = starting ? iconH : iconW;
    const double width = leadW + spacing + metrics.horizontalAdvance(text);
    const QColor color = toQColor(
        caption.kind == PortCaption::Kind::noAdapter ? palette.orange() : palette.secondary());
    p.save();
    const QPointF centre(slotX + m_.tileWidth / 2, height() / 2.0);
    p.translate(centre);
    p.scale(scale, scale);
    p.translate(-centre);
    double x = centre.x() - width / 2;
    const QRectF icon(x, centre.y() - iconH / 2, leadW, iconH);
    if (starting) {
        drawSpinner(p, icon, color, now, appearance_.reduceMotion || !visible_);
    } else {
        QPen pen(color, 1.2);
        pen.setJoinStyle(Qt::RoundJoin);
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawPath(toPainterPath(StageGeometry::ethernetPort({icon.x(), icon.y(), iconW, iconH})));
    }
    x += leadW + spacing;
    p.setFont(font);
    p.setPen(color);
    p.drawText(QRectF(x, 0, width, height()), Qt::AlignLeft | Qt::AlignVCenter, text);
    p.restore();
}

void PortLabelsWidget::paintEvent(QPaintEvent*) {
    const double now = clock_->now();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const auto paintSlot = [&](const Slot& slot, double slotX, double scale) {
        const double shown = slot.shown(now);
        if (shown < 1) {
            p.setOpacity(1 - shown);
            paintCaption(p, slot.leaving, slotX, 1, now);
        }
        p.setOpacity(shown);
        paintCaption(p, slot.caption, slotX, scale, now);
        p.setOpacity(1);
    };
    paintSlot(local_, 0, pulseScale());
    paintSlot(peer_, m_.width - m_.tileWidth, 1);
}

QRect PortLabelsWidget::slotRect(bool local) const {
    const double x = local ? 0 : m_.width - m_.tileWidth;
    return QRectF(x, 0, m_.tileWidth, height()).toRect();
}

std::vector<AccessibleElement> PortLabelsWidget::accessibleElements() const {
    std::vector<AccessibleElement> elements;
    for (const bool local : {true, false}) {
        const PortCaption& caption = local ? local_.caption : peer_.caption;
        if (caption.kind != PortCaption::Kind::none)
            elements.push_back({QString::fromStdString(caption.accessibleName), QString(),
                                QString::fromStdString(caption.help), slotRect(local)});
    }
    return elements;
}

bool PortLabelsWidget::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const bool left = help->pos().x() < m_.tileWidth;
        const bool right = help->pos().x() > m_.width - m_.tileWidth;
        const PortCaption* caption = left ? &local_.caption : right ? &peer_.caption : nullptr;
        if (caption && caption->kind != PortCaption::Kind::none) {
            QToolTip::showText(help->globalPos(), QString::fromStdString(caption->help), this);
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QWidget::event(event);
}

// --- The pass row.

namespace {

struct TileSizes {
    double s, icon, gap, title, bar, caption, width;
    explicit TileSizes(double size)
        : s(size),
          icon(1.4 * size),
          gap(0.3 * size),
          title(0.62 * size),
          bar(4),
          caption(0.75 * size),
          width(3.2 * size) {}
    double titleHeight() const { return QFontMetricsF(uiFont(title)).height(); }
    double height() const { return icon + gap + titleHeight() + gap + bar + gap + caption; }
};

}  // namespace

PassRowWidget::PassRowWidget(std::shared_ptr<Clock> clock, QWidget* parent)
    : QWidget(parent), clock_(clock), ports_(new PortLabelsWidget(clock, this)) {
    const TileSizes sizes(m_.pass);
    setFixedSize(static_cast<int>(m_.width), static_cast<int>(std::ceil(sizes.height())));
    ports_->move(0, height() - ports_->height());
    timer_.setInterval(16);
    connect(&timer_, &QTimer::timeout, this, [this] {
        update();
        updateTimer();
    });
}

void PassRowWidget::setPasses(const std::vector<WindowPresentation::Pass>& passes,
                              const std::vector<WindowPresentation::Lane>& lanes) {
    const double now = clock_->now();
    std::vector<Tween> progress;
    for (std::size_t i = 0; i < passes.size(); ++i) {
        const double shown = i < progress_.size() ? progress_[i].value(now) : passes[i].progress;
        const bool same = i < passes_.size() && passes_[i].progress == passes[i].progress;
        progress.push_back(same ? progress_[i]
                                : Tween{shown, passes[i].progress, now,
                                        appearance_.reduceMotion ? 0.0 : 0.2,
                                        CubicBezier::linear()});
    }
    progress_ = std::move(progress);
    const bool sameElements =
        passes.size() == passes_.size() &&
        std::equal(passes.begin(), passes.end(), passes_.begin(), [](const auto& a, const auto& b) {
            return a.detail == b.detail && a.state == b.state;
        });
    passes_ = passes;
    if (!sameElements)
        elementsChanged(this);
    lanes_ = lanes;
    updateTimer();
    update();
}

void PassRowWidget::setAppearance(const Appearance& appearance) {
    appearance_ = appearance;
    ports_->setAppearance(appearance);
    updateTimer();
    update();
}

void PassRowWidget::setWindowVisible(bool visible) {
    visible_ = visible;
    ports_->setWindowVisible(visible);
    updateTimer();
}

void PassRowWidget::updateTimer() {
    const double now = clock_->now();
    bool moving = false;
    for (std::size_t i = 0; i < passes_.size(); ++i)
        moving = moving || passes_[i].state == WindowPresentation::PassState::running ||
                 !progress_[i].finished(now);
    if (moving && visible_ && !appearance_.reduceMotion) {
        if (!timer_.isActive())
            timer_.start();
    } else {
        timer_.stop();
    }
}

QRectF PassRowWidget::tileRect(std::size_t index) const {
    const TileSizes sizes(m_.pass);
    const double spacing = 0.9 * m_.pass;
    const double n = static_cast<double>(passes_.size());
    const double total = n * sizes.width + std::max(0.0, n - 1) * spacing;
    const double x = (m_.width - total) / 2 + static_cast<double>(index) * (sizes.width + spacing);
    return {x, (height() - sizes.height()) / 2, sizes.width, sizes.height()};
}

std::optional<std::size_t> PassRowWidget::tileAt(const QPointF& point) const {
    for (std::size_t i = 0; i < passes_.size(); ++i)
        if (tileRect(i).contains(point))
            return i;
    return std::nullopt;
}

std::vector<AccessibleElement> PassRowWidget::accessibleElements() const {
    std::vector<AccessibleElement> elements;
    const Palette& palette = appearance_.palette;
    const Rgba quality = PassTileLook::qualityColor(lanes_, palette);
    for (std::size_t i = 0; i < passes_.size(); ++i) {
        const QString detail = QString::fromStdString(passes_[i].detail);
        elements.push_back(
            {detail,
             QString::fromStdString(PassTileLook::make(passes_[i], quality, palette).stateWord),
             QString(), tileRect(i).toAlignedRect()});
    }
    return elements;
}

bool PassRowWidget::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (auto tile = tileAt(help->pos())) {
            QToolTip::showText(help->globalPos(), QString::fromStdString(passes_[*tile].detail),
                               this);
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QWidget::event(event);
}

void PassRowWidget::paintEvent(QPaintEvent*) {
    const double now = clock_->now();
    const Palette& palette = appearance_.palette;
    const Rgba quality = PassTileLook::qualityColor(lanes_, palette);
    const TileSizes sizes(m_.pass);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    for (std::size_t i = 0; i < passes_.size(); ++i) {
        const auto& pass = passes_[i];
        const PassTileLook look = PassTileLook::make(pass, quality, palette);
        const QRectF tile = tileRect(i);
        double y = tile.y();
        // A running tile's symbol pulses unless motion is reduced.
        double pulse = 1;
        if (look.running && !appearance_.reduceMotion)
            pulse = 0.55 + 0.45 * std::abs(std::cos(now * std::numbers::pi));
        p.save();
        p.setOpacity(pulse);
        const QRectF icon(tile.x(), y, tile.width(), sizes.icon);
        const QColor tint = toQColor(look.tint);
        switch (pass.kind) {
            case WindowPresentation::PassKind::outbound:
                drawSymbol(p, Symbol::arrowRight, icon.adjusted(0, 4, 0, -4), tint, 1.3);
                break;
            case WindowPresentation::PassKind::inbound:
                drawSymbol(p, Symbol::arrowLeft, icon.adjusted(0, 4, 0, -4), tint, 1.3);
                break;
            case WindowPresentation::PassKind::duplex: {
                const double a = 0.7 * sizes.s, overlap = -0.05 * sizes.s;
                const double top = icon.center().y() - (2 * a + overlap) / 2;
                drawSymbol(p, Symbol::arrowRight, QRectF(icon.x(), top, icon.width(), a),
                           look.running ? toQColor(palette.outbound()) : tint, 1.3);
                drawSymbol(p, Symbol::arrowLeft,
                           QRectF(icon.x(), top + a + overlap, icon.width(), a),
                           look.running ? toQColor(palette.inbound()) : tint, 1.3);
                break;
            }
            case WindowPresentation::PassKind::quality:
                drawSymbol(p, Symbol::waveform, icon.adjusted(0, 3, 0, -3), tint);
                break;
        }
        p.restore();
        y += sizes.icon + sizes.gap;
        p.setFont(uiFont(sizes.title, look.running ? QFont::DemiBold : QFont::Normal));
        p.setPen(toQColor(look.running ? palette.primary() : palette.secondary()));
        p.drawText(QRectF(tile.x() - 10, y, tile.width() + 20, sizes.titleHeight()),
                   Qt::AlignHCenter | Qt::AlignTop, QString::fromStdString(look.title));
        y += sizes.titleHeight() + sizes.gap;
        const double barWidth = 2.4 * sizes.s;
        const QRectF bar(tile.center().x() - barWidth / 2, y, barWidth, sizes.bar);
        p.setPen(Qt::NoPen);
        p.setBrush(toQColor(palette.secondary().withAlpha(0.2)));
        p.drawRoundedRect(bar, 2, 2);
        const double fill = barWidth * progress_[i].value(now);
        if (fill > 0) {
            p.setBrush(tint);
            p.drawRoundedRect(QRectF(bar.x(), bar.y(), fill, bar.height()), 2, 2);
        }
        y += sizes.bar + sizes.gap;
        // The caption shrinks to three quarters of its size, then is cut.
        QString whole;
        for (const auto& run : look.caption)
            whole += QString::fromStdString(run.text);
        QFont font = uiFont(0.57 * sizes.s);
        for (double size = 0.57 * sizes.s; size >= 0.75 * 0.57 * sizes.s; size -= 0.25) {
            font = uiFont(size);
            if (QFontMetricsF(font).horizontalAdvance(whole) <= tile.width())
                break;
        }
        const QFontMetricsF metrics(font);
        p.setFont(font);
        const double width = std::min(metrics.horizontalAdvance(whole), tile.width());
        double x = tile.center().x() - width / 2;
        const double baseline = y + (sizes.caption + metrics.ascent() - metrics.descent()) / 2;
        for (const auto& run : look.caption) {
            const QString text = metrics.elidedText(QString::fromStdString(run.text),
                                                    Qt::ElideRight, tile.right() - x);
            p.setPen(toQColor(run.color));
            p.drawText(QPointF(x, baseline), text);
            x += metrics.horizontalAdvance(text);
        }
    }
}

}  // namespace sorvanta
