#include "app/stage_widget.h"

#include <QAccessibleWidget>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <cmath>

#include "app/lane_marks.h"
#include "app/stage_geometry.h"
#include "app/stage_text.h"
#include "app/symbol_painter.h"

namespace sorvanta {
namespace {

constexpr double fadeSeconds = 0.3;
constexpr double tileFadeSeconds = 0.35;
constexpr double pulseHold = 0.35;
constexpr double pulseRise = 0.15;
constexpr double pulseFall = 0.8;

WindowPresentation emptyPresentation() {
    WindowPresentation p(ServiceSnapshot::initial(), std::nullopt, false, false);
    p.connected = false;
    p.centerText.reset();
    p.lanes.clear();
    return p;
}

const QString searchActionName = QStringLiteral("Search Again for the Other Mac");

class StageAccessible final : public QAccessibleWidget {
  public:
    explicit StageAccessible(StageWidget* stage) : QAccessibleWidget(stage, QAccessible::Graphic) {}
    StageWidget* stage() const { return static_cast<StageWidget*>(widget()); }
    QStringList actionNames() const override {
        return stage()->canSearch() ? QStringList{searchActionName} : QStringList{};
    }
    void doAction(const QString& name) override {
        if (name == searchActionName)
            stage()->searchTapped();
    }
    int childCount() const override { return 0; }
};

QAccessibleInterface* stageAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("sorvanta::StageWidget") && object->isWidgetType())
        return new StageAccessible(static_cast<StageWidget*>(object));
    return nullptr;
}

}  // namespace

// The search pulse ring's stroke is 10 px wide about the tile's outline, which runs along the
// stage's top, right and bottom edges: half of it lies outside the stage. It is drawn by a
// see-through widget laid over the stage with room around it, so it is drawn whole.
class StageWidget::PulseRing final : public QWidget {
  public:
    static constexpr int margin = 8;

    explicit PulseRing(StageWidget* stage) : QWidget(stage->parentWidget()), stage_(stage) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        follow();
    }
    void follow() {
        setGeometry(stage_->geometry().adjusted(-margin, -margin, margin, margin));
        raise();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(margin, margin);
        stage_->paintPulse(p, stage_->clock_->now());
    }

  private:
    StageWidget* stage_;
};

void installStageAccessibility() {
    QAccessible::installFactory(stageAccessibleFactory);
}

StageWidget::StageWidget(std::shared_ptr<Clock> clock, QWidget* parent)
    : QWidget(parent), clock_(std::move(clock)), presentation_(emptyPresentation()) {
    setFixedSize(static_cast<int>(m_.width), static_cast<int>(m_.tileHeight));
    setMouseTracking(true);
    timer_.setInterval(16);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &StageWidget::frame);
    lastFrame_ = clock_->now();
    setAccessibleName(QString::fromStdString(stageSummary(presentation_)));
}

StageWidget::~StageWidget() {
    delete ring_.data();
}

QWidget* StageWidget::pulseRing() const {
    return ring_.data();
}

void StageWidget::setPresentation(const WindowPresentation& p, const std::string& thisName) {
    const double now = clock_->now();
    // With motion reduced, changes show at once instead of fading.
    const double changedAt = appearance_.reduceMotion ? -1e9 : now;
    if (p.centerText != presentation_.centerText || p.linkCaption != presentation_.linkCaption)
        centreChanged_ = changedAt;
    if (p.connected != presentation_.connected)
        presentChanged_ = changedAt;
    presentation_ = p;
    thisName_ = thisName;
    band_.setTarget(p.connected ? 1 : 0);
    if (appearance_.reduceMotion)
        band_.snap(band_.target());
    // A new lane set shows its first frame at once, even while paused.
    offsets_ = laneFlow_.advance(p.lanes, false, now);
    setAccessibleName(QString::fromStdString(stageSummary(p)));
    updateTimer();
    update();
}

void StageWidget::setSearchAction(std::function<void()> search) {
    search_ = std::move(search);
    if (!search_)
        unsetCursor();
}

void StageWidget::setAppearance(const Appearance& appearance) {
    appearance_ = appearance;
    if (appearance_.reduceMotion)
        band_.snap(band_.target());
    updateTimer();
    update();
}

void StageWidget::setWindowVisible(bool visible) {
    visible_ = visible;
    updateTimer();
}

void StageWidget::updateTimer() {
    const double now = clock_->now();
    const bool moving = !presentation_.lanes.empty() || !band_.settled() || pulseShowing(now) ||
                        presentation_.working || now < centreChanged_ + fadeSeconds ||
                        now < presentChanged_ + tileFadeSeconds;
    if (moving && motionAllowed()) {
        if (!timer_.isActive()) {
            lastFrame_ = now;
            timer_.start();
        }
    } else {
        timer_.stop();
    }
}

void StageWidget::frame() {
    const double now = clock_->now();
    band_.step(now - lastFrame_);
    lastFrame_ = now;
    offsets_ = laneFlow_.advance(presentation_.lanes, motionAllowed(), now);
    if (pulseStart_ && now >= *pulseStart_ + pulseHold) {
        pulseStart_.reset();
        pulseFadeStart_ = now;
    }
    update();
    updateRing();
    updateTimer();
}

bool StageWidget::pulseShowing(double now) const {
    return pulseStart_ || now < pulseFadeStart_ + pulseFall;
}

void StageWidget::updateRing() {
    if (!pulseShowing(clock_->now())) {
        if (ring_)
            ring_->hide();
        return;
    }
    if (!ring_ && parentWidget() != nullptr)
        ring_ = new PulseRing(this);
    if (ring_) {
        ring_->follow();
        ring_->show();
        ring_->update();
    }
}

void StageWidget::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (ring_)
        ring_->follow();
}

bool StageWidget::event(QEvent* event) {
    // The hint belongs to the other computer's tile, and only while it searches.
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (search_ && overRightTile(help->pos())) {
            QToolTip::showText(help->globalPos(), QStringLiteral("Search again for the other Mac"),
                               this, toQRect(StageGeometry::rightTile(m_)).toRect());
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QWidget::event(event);
}

void StageWidget::searchTapped() {
    if (!search_ || pulseStart_)
        return;
    search_();
    if (appearance_.reduceMotion)
        return;
    pulseStart_ = clock_->now();
    updateRing();
    updateTimer();
    // Ends the pulse even when frames are paused.
    QTimer::singleShot(static_cast<int>(pulseHold * 1000), this, [this] {
        if (pulseStart_ && clock_->now() >= *pulseStart_ + pulseHold - 1e-3) {
            pulseStart_.reset();
            pulseFadeStart_ = clock_->now();
            updateTimer();
            updateRing();
        }
    });
}

bool StageWidget::overRightTile(const QPointF& point) const {
    QPainterPath tile;
    const double radius = StageGeometry::tileCornerRadius(m_);
    tile.addRoundedRect(toQRect(StageGeometry::rightTile(m_)), radius, radius);
    return tile.contains(point);
}

void StageWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && overRightTile(event->position()))
        searchTapped();
}

void StageWidget::mouseMoveEvent(QMouseEvent* event) {
    if (search_ && overRightTile(event->position())) {
        setCursor(Qt::PointingHandCursor);
    } else {
        unsetCursor();
    }
}

void StageWidget::paintEvent(QPaintEvent*) {
    const double now = clock_->now();
    const Palette& palette = appearance_.palette;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // Tile backgrounds.
    const double radius = StageGeometry::tileCornerRadius(m_);
    for (const RectF& tile : {StageGeometry::leftTile(m_), StageGeometry::rightTile(m_)}) {
        p.setPen(QPen(toQColor(palette.edge()), 1));
        p.setBrush(toQColor(palette.surface()));
        p.drawRoundedRect(toQRect(tile.insetBy(0.5)), radius, radius);
    }
    // The band: fill, then its edges.
    const double amount = band_.value();
    p.fillPath(toPainterPath(StageGeometry::bandPath(m_, amount, false)),
               toQColor(palette.surface()));
    QPen edge(toQColor(palette.edge()), 1);
    edge.setCapStyle(Qt::FlatCap);
    edge.setJoinStyle(Qt::MiterJoin);
    p.strokePath(toPainterPath(StageGeometry::bandPath(m_, amount, true)), edge);
    if (!presentation_.lanes.empty())
        paintLanes(p);
    paintTile(p, true, now);
    paintTile(p, false, now);
    paintFigures(p);
    paintCentre(p, now);
}

void StageWidget::paintLanes(QPainter& p) {
    p.save();
    p.setClipRect(toQRect(StageGeometry::laneArea(m_)));
    for (const LaneMark& mark : laneMarks(m_, presentation_.lanes, offsets_)) {
        QColor color = toQColor(appearance_.palette.direction(mark.direction));
        color.setAlphaF(static_cast<float>(color.alphaF() * mark.opacity));
        if (mark.flow == WindowPresentation::Flow::dots) {
            p.setPen(Qt::NoPen);
            p.setBrush(color);
            p.drawEllipse(QPointF(mark.centre.x, mark.centre.y), mark.radius, mark.radius);
        } else {
            QPen pen(color, mark.lineWidth);
            pen.setCapStyle(Qt::RoundCap);
            pen.setJoinStyle(Qt::RoundJoin);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            QPainterPath chevron;
            chevron.moveTo(mark.chevron[0].x, mark.chevron[0].y);
            chevron.lineTo(mark.chevron[1].x, mark.chevron[1].y);
            chevron.lineTo(mark.chevron[2].x, mark.chevron[2].y);
            p.drawPath(chevron);
        }
    }
    p.restore();
}

void StageWidget::paintTile(QPainter& p, bool isLocal, double now) {
    const Palette& palette = appearance_.palette;
    const TileContent tile = TileContent::make(isLocal, presentation_, thisName_);
    const RectF frame = isLocal ? StageGeometry::leftTile(m_) : StageGeometry::rightTile(m_);
    const double tw = m_.tileWidth, th = m_.tileHeight;
    double opacity = tile.opacity;
    if (!isLocal)
        opacity =
            Tween{tile.present ? 0.7 : 1.0, tile.opacity, presentChanged_, tileFadeSeconds}.value(
                now);
    p.save();
    p.setOpacity(opacity);
    const QFont nameFont = uiFont(m_.name, QFont::DemiBold);
    const QFont captionFont = uiFont(m_.name - 3);
    const double nameHeight = QFontMetricsF(nameFont).height();
    const double captionHeight = QFontMetricsF(captionFont).height();
    const double pictureHeight = 0.5 * th;
    const double height = 0.05 * th + pictureHeight + 2 + 3 + nameHeight + 3 + captionHeight;
    double y = frame.y + (th - height) / 2 + 0.05 * th;
    const QRectF picture(frame.x + (tw - 0.9 * tw) / 2, y, 0.9 * tw, pictureHeight);
    if (tile.symbol == TileContent::Symbol::questionMark) {
        const double size = 0.22 * tw;
        drawSymbol(
            p, Symbol::questionMark,
            QRectF(picture.center().x() - size / 2, picture.center().y() - size / 2, size, size),
            toQColor(palette.tertiary()), 1.1);
    } else {
        const double size = 0.36 * tw;
        drawSymbol(
            p, Symbol::computer,
            QRectF(picture.center().x() - size / 2, picture.center().y() - size / 2, size, size),
            toQColor(palette.secondary()), 0.8);
    }
    if (tile.lockBadge) {
        const double symbolSize = 0.8 * m_.name;
        const double d = symbolSize + 10;
        const QRectF badge(picture.right() - d + 6, picture.bottom() - d + 4, d, d);
        p.setPen(Qt::NoPen);
        p.setBrush(toQColor(palette.orange()));
        p.drawEllipse(badge);
        drawSymbol(p, Symbol::lock, badge.adjusted(5, 5, -5, -5), Qt::white, 1.3);
    }
    y += pictureHeight + 2 + 3;
    // The name shrinks to 70 % before it is cut.
    const QRectF nameBox(frame.x + 6, y, tw - 12, nameHeight);
    QFont font = nameFont;
    const QString name = QString::fromStdString(tile.name);
    for (double size = m_.name; size >= 0.7 * m_.name; size -= 0.5) {
        font = uiFont(size, QFont::DemiBold);
        if (QFontMetricsF(font).horizontalAdvance(name) <= nameBox.width())
            break;
    }
    p.setFont(font);
    p.setPen(toQColor(tile.present ? palette.primary() : palette.tertiary()));
    p.drawText(nameBox, Qt::AlignCenter,
               QFontMetricsF(font).elidedText(name, Qt::ElideRight, nameBox.width()));
    y += nameHeight + 3;
    p.setFont(captionFont);
    p.setPen(toQColor(palette.secondary()));
    p.drawText(QRectF(frame.x + 6, y, tw - 12, captionHeight), Qt::AlignCenter,
               QString::fromStdString(tile.caption));
    p.restore();
}

void StageWidget::paintPulse(QPainter& p, double now) {
    double width = 1, opacity = 0;
    if (pulseStart_) {
        const double t = Tween{0, 1, *pulseStart_, pulseRise, CubicBezier::easeOut()}.value(now);
        width = 1 + 9 * t;
        opacity = t;
    } else if (now < pulseFadeStart_ + pulseFall) {
        const double t = Tween{1, 0, pulseFadeStart_, pulseFall}.value(now);
        width = 1 + 9 * t;
        opacity = t;
    }
    if (opacity <= 0)
        return;
    p.save();
    p.setOpacity(opacity);
    p.setPen(QPen(toQColor(appearance_.palette.edge()), width));
    p.setBrush(Qt::NoBrush);
    const double radius = StageGeometry::tileCornerRadius(m_);
    p.drawRoundedRect(toQRect(StageGeometry::rightTile(m_)), radius, radius);
    p.restore();
}

void StageWidget::paintFigures(QPainter& p) {
    const Palette& palette = appearance_.palette;
    const auto draw = [&](const RateFigure& figure, PointF centre) {
        const double size = m_.number;
        const QFont numberFont = uiFont(size, QFont::Bold);
        const QFont unitFont = uiFont(0.52 * size);
        const QFontMetricsF numberMetrics(numberFont), unitMetrics(unitFont);
        const QString number = QString::fromStdString(figure.number);
        const QString unit = QString::fromStdString(figure.unit);
        const double arrow = 0.62 * size, gap = 0.3 * size;
        const double numberWidth = numberMetrics.horizontalAdvance(number);
        const double total = arrow + gap + numberWidth + gap + unitMetrics.horizontalAdvance(unit);
        const double baseline = centre.y + (numberMetrics.ascent() - numberMetrics.descent()) / 2;
        double x = centre.x - total / 2;
        drawSymbol(p, figure.outbound ? Symbol::arrowRight : Symbol::arrowLeft,
                   QRectF(x, baseline - 0.5 * numberMetrics.capHeight() - arrow / 2, arrow, arrow),
                   toQColor(figure.outbound ? palette.outbound() : palette.inbound()), 1.3);
        x += arrow + gap;
        p.setFont(numberFont);
        p.setPen(toQColor(figure.warning ? palette.orange() : palette.primary()));
        p.drawText(QPointF(x, baseline), number);
        x += numberWidth + gap;
        p.setFont(unitFont);
        p.setPen(toQColor(palette.secondary()));
        p.drawText(QPointF(x, baseline), unit);
    };
    if (auto figure = RateFigure::above(presentation_))
        draw(*figure, StageGeometry::outboundFigureCentre(m_));
    if (auto figure = RateFigure::below(presentation_))
        draw(*figure, StageGeometry::inboundFigureCentre(m_));
}

void StageWidget::paintCentre(QPainter& p, double now) {
    const Palette& palette = appearance_.palette;
    const QRectF box = toQRect(StageGeometry::centreContent(m_));
    p.save();
    p.setOpacity(Tween{0, 1, centreChanged_, fadeSeconds}.value(now));
    if (presentation_.centerText) {
        const QFont font = uiFont(m_.name - 1);
        const QString text = QString::fromStdString(*presentation_.centerText);
        const QFontMetricsF metrics(font);
        const double spinner = presentation_.working ? 16 : 0;
        const double room = box.width() - (spinner > 0 ? spinner + 8 : 0);
        const QRectF textBounds = metrics.boundingRect(QRectF(0, 0, room, box.height()),
                                                       Qt::TextWordWrap | Qt::AlignCenter, text);
        const double width = std::min(room, textBounds.width()) + (spinner > 0 ? spinner + 8 : 0);
        double x = box.center().x() - width / 2;
        if (spinner > 0) {
            // A small spinning arc; still when motion is reduced.
            drawSpinner(p, QRectF(x + 2, box.center().y() - 6, 12, 12),
                        toQColor(palette.secondary()), now, appearance_.reduceMotion);
            x += spinner + 8;
        }
        p.setFont(font);
        p.setPen(toQColor(palette.secondary()));
        p.drawText(QRectF(x, box.y(), width - (spinner > 0 ? spinner + 8 : 0), box.height()),
                   Qt::AlignCenter | Qt::TextWordWrap, text);
    } else if (presentation_.linkCaption && presentation_.lanes.empty()) {
        p.setFont(uiFont(m_.name - 3, QFont::Medium));
        p.setPen(toQColor(palette.secondary()));
        p.drawText(box, Qt::AlignCenter, QString::fromStdString(*presentation_.linkCaption));
    }
    p.restore();
}

}  // namespace sorvanta
