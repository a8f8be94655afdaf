#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/lane_flow.h"
#include "app/motion.h"
#include "app/paint_support.h"
#include "app/window_metrics.h"
#include "assessment/presentation/window_presentation.h"
#include "support/clock.h"

namespace sorvanta {

// Lets assistive technology see the stage as one element with its spoken summary and, while
// the other computer can be searched for, the action "Search Again for the Other Mac".
void installStageAccessibility();

// The centre of the main window: this computer's tile, the other computer's tile, the band
// between them with its animated lanes, the rate figures and the band's text. Frames come
// from a ~16 ms timer reading the injected clock; it runs only while something moves, the
// window is visible and motion is not reduced, and the last frame stays when it stops.
class StageWidget final : public QWidget {
    Q_OBJECT
  public:
    explicit StageWidget(std::shared_ptr<Clock> clock, QWidget* parent = nullptr);
    ~StageWidget() override;

    void setPresentation(const WindowPresentation& presentation, const std::string& thisName);
    // Absent while there is nothing to search for (connected, or a test running).
    void setSearchAction(std::function<void()> search);
    void setAppearance(const Appearance& appearance);
    void setWindowVisible(bool visible);

    // Runs the search step as a click on the other computer's tile would.
    void searchTapped();
    // One animation frame at the clock's current time.
    void frame();
    bool animating() const { return timer_.isActive(); }
    bool canSearch() const { return static_cast<bool>(search_); }
    bool searchPulse() const { return pulseStart_.has_value(); }
    const std::vector<double>& laneOffsets() const { return offsets_; }
    double bandAmount() const { return band_.value(); }

    // The widget that draws the search pulse ring, while it shows.
    QWidget* pulseRing() const;

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    class PulseRing;
    bool pulseShowing(double now) const;
    void updateRing();
    bool motionAllowed() const { return visible_ && !appearance_.reduceMotion; }
    void updateTimer();
    void paintTile(QPainter& p, bool isLocal, double now);
    void paintLanes(QPainter& p);
    void paintFigures(QPainter& p);
    void paintCentre(QPainter& p, double now);
    void paintPulse(QPainter& p, double now);
    bool overRightTile(const QPointF& point) const;

    std::shared_ptr<Clock> clock_;
    WindowMetrics m_ = WindowMetrics::preset();
    WindowPresentation presentation_;
    std::string thisName_;
    std::function<void()> search_;
    Appearance appearance_;
    bool visible_ = true;
    QTimer timer_;
    LaneFlow laneFlow_;
    std::vector<double> offsets_;
    Spring band_ = Spring::band(0);
    double lastFrame_ = 0;
    std::optional<double> pulseStart_;  // the search pulse is showing since
    double pulseFadeStart_ = -1e9;      // the ring fades out from
    double centreChanged_ = -1e9;       // the band text changed at
    double presentChanged_ = -1e9;      // the other computer appeared or left at
    QPointer<PulseRing> ring_;
};

}  // namespace sorvanta
