#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>

#include "app/motion.h"
#include "app/paint_support.h"
#include "app/stage_text.h"
#include "app/window_metrics.h"
#include "assessment/presentation/window_presentation.h"
#include "support/clock.h"

namespace sorvanta {

// The port-speed captions over the two tiles: this computer's at the left, the other's at
// the right. The orange "No Ethernet" caption swells briefly when nudged.
class PortLabelsWidget final : public QWidget {
    Q_OBJECT
  public:
    PortLabelsWidget(std::shared_ptr<Clock> clock, QWidget* parent = nullptr);
    void setPorts(std::optional<std::uint64_t> local, std::optional<std::uint64_t> peer,
                  bool noLocal, bool starting);
    void setAppearance(const Appearance& appearance);
    // Makes the no-adapter caption pulse once (not while motion is reduced).
    void nudge();
    const PortCaption& localCaption() const { return local_; }
    const PortCaption& peerCaption() const { return peer_; }
    double pulseScale() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void paintCaption(QPainter& p, const PortCaption& caption, double slotX, double scale);

    std::shared_ptr<Clock> clock_;
    WindowMetrics m_ = WindowMetrics::preset();
    Appearance appearance_;
    PortCaption local_;
    PortCaption peer_;
    std::optional<double> pulseStart_;
    QTimer timer_;
};

// The strip of pass tiles at the top of the main window, with the port captions laid over
// its bottom edge.
class PassRowWidget final : public QWidget {
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
