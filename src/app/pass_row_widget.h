#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>

#include "app/element_accessibility.h"
#include "app/motion.h"
#include "app/paint_support.h"
#include "app/stage_text.h"
#include "app/window_metrics.h"
#include "assessment/presentation/window_presentation.h"
#include "support/clock.h"

namespace sorvanta {

// The port-speed captions over the two tiles: this computer's at the left, the other's at
// the right. A caption that changes cross-fades into the next over 0.3 s (at once when motion
// is reduced); the orange "No Ethernet" caption swells briefly when nudged; "Starting…" turns
// its indicator while the window is visible. Each shown caption is one accessible element.
class PortLabelsWidget final : public QWidget, public AccessibleElements {
    Q_OBJECT
  public:
    static constexpr double fadeSeconds = 0.3;

    PortLabelsWidget(std::shared_ptr<Clock> clock, QWidget* parent = nullptr);
    void setPorts(std::optional<std::uint64_t> local, std::optional<std::uint64_t> peer,
                  bool noLocal, bool starting);
    void setAppearance(const Appearance& appearance);
    void setWindowVisible(bool visible);
    // Makes the no-adapter caption pulse once (not while motion is reduced).
    void nudge();
    const PortCaption& localCaption() const { return local_.caption; }
    const PortCaption& peerCaption() const { return peer_.caption; }
    double pulseScale() const;
    bool animating() const { return timer_.isActive(); }
    std::vector<AccessibleElement> accessibleElements() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

  private:
    // One caption's place: what it shows, and what it showed before while that fades out.
    struct Slot {
        PortCaption caption;
        PortCaption leaving;
        double changedAt = -1e9;
        void set(PortCaption next, double now);
        double shown(double now) const;  // the current caption's opacity, 0…1
    };

    void paintCaption(QPainter& p, const PortCaption& caption, double slotX, double scale,
                      double now);
    void updateTimer();
    QRect slotRect(bool local) const;

    std::shared_ptr<Clock> clock_;
    WindowMetrics m_ = WindowMetrics::preset();
    Appearance appearance_;
    bool visible_ = true;
    Slot local_;
    Slot peer_;
    std::optional<double> pulseStart_;
    QTimer timer_;
};

// The strip of pass tiles at the top of the main window, with the port captions laid over
// its bottom edge.
class PassRowWidget final : public QWidget, public AccessibleElements {
    Q_OBJECT
  public:
    PassRowWidget(std::shared_ptr<Clock> clock, QWidget* parent = nullptr);
    void setPasses(const std::vector<WindowPresentation::Pass>& passes,
                   const std::vector<WindowPresentation::Lane>& lanes);
    void setAppearance(const Appearance& appearance);
    void setWindowVisible(bool visible);
    PortLabelsWidget* portLabels() const { return ports_; }
    // The tile under a point, for tooltips and tests.
    std::optional<std::size_t> tileAt(const QPointF& point) const;
    QRectF tileRect(std::size_t index) const;
    // Each tile as one element: its detail, and the word for its state.
    std::vector<AccessibleElement> accessibleElements() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void updateTimer();

    std::shared_ptr<Clock> clock_;
    WindowMetrics m_ = WindowMetrics::preset();
    Appearance appearance_;
    bool visible_ = true;
    std::vector<WindowPresentation::Pass> passes_;
    std::vector<WindowPresentation::Lane> lanes_;
    std::vector<Tween> progress_;
    PortLabelsWidget* ports_;
    QTimer timer_;
};

}  // namespace sorvanta
