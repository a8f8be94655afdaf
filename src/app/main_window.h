#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <memory>
#include <optional>

#include "app/pass_row_widget.h"
#include "app/stage_widget.h"
#include "assessment/presentation/window_presentation.h"
#include "support/clock.h"

class QShortcut;

namespace sorvanta {

class SorvantaModel;

// The one line under the stage: 15 px, shrinking to 80 % before it is cut to one line.
class StatusLine final : public QLabel {
    Q_OBJECT
  public:
    explicit StatusLine(double maximumWidth, QWidget* parent = nullptr);
    void setLine(const std::string& line);
    const std::string& line() const { return line_; }

  private:
    double maximumWidth_;
    std::string line_;
};

// The main window: pass row with port captions, the stage, the status line and the action
// button. Showing it starts the service; closing it suspends the service.
class MainWindow final : public QMainWindow {
    Q_OBJECT
  public:
    MainWindow(std::shared_ptr<SorvantaModel> model, std::shared_ptr<Clock> clock,
               std::string thisName, QWidget* parent = nullptr);

    // Rebuilds the picture from the model.
    void refresh();
    void setAppearance(const Appearance& appearance);

    StageWidget* stage() const { return stage_; }
    PassRowWidget* passRow() const { return passRow_; }
    StatusLine* statusLine() const { return status_; }
    QPushButton* actionButton() const { return button_; }
    WindowPresentation::Action action() const { return action_; }
    int portNudge() const { return portNudge_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Whether Return, Enter or Escape has something to do in the current state.
    bool keyActs(int key) const;
    void press();
    void setWindowVisible(bool visible);

    std::shared_ptr<SorvantaModel> model_;
    std::string thisName_;
    PassRowWidget* passRow_;
    StageWidget* stage_;
    StatusLine* status_;
    QPushButton* button_;
    QShortcut* returnKey_;
    QShortcut* enterKey_;
    QShortcut* escapeKey_;
    WindowPresentation::Action action_ = WindowPresentation::Action::none;
    bool canStart_ = false;
    Rgba accent_ = Palette{}.outbound();
    int portNudge_ = 0;
    std::optional<bool> reportedVisible_;
    bool visibilityWatched_ = false;
};

}  // namespace sorvanta
