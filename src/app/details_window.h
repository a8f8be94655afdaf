#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <memory>
#include <optional>

#include "app/paint_support.h"
#include "assessment/report/connection_details_report.h"

namespace sorvanta {

class SorvantaModel;

// The Connection Details window: the whole report of the shown snapshot as selectable text,
// followed live as the model changes, with a Copy All button whose outcome the header shows
// for three seconds. The text is laid out again only when the report itself changes, so a
// selection and the scroll position survive the model's many other notifications.
class DetailsWindow final : public QMainWindow {
    Q_OBJECT
  public:
    DetailsWindow(std::shared_ptr<SorvantaModel> model, AppBuild build, QWidget* parent = nullptr);

    void refresh();
    void setAppearance(const Appearance& appearance);
    void copyReport();
    const std::optional<QString>& copyFeedback() const { return feedback_; }
    QString headerText() const { return header_->text(); }
    QString reportText() const { return report_->toPlainText(); }
    QToolButton* copyButton() const { return copy_; }
    // Milliseconds until the header shows the hint again; -1 when it shows it now.
    int feedbackRemaining() const { return feedbackTimer_.remainingTime(); }

    static constexpr int feedbackMilliseconds = 3000;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void setFeedback(std::optional<QString> feedback);
    void render(const StyledText& text);

    // The report as last laid out; cleared when the look changes.
    std::optional<std::vector<StyledText::Run>> shown_;
    std::shared_ptr<SorvantaModel> model_;
    AppBuild build_;
    Appearance appearance_;
    QLabel* header_;
    QToolButton* copy_;
    QTextBrowser* report_;
    std::optional<QString> feedback_;
    QTimer feedbackTimer_;
};

}  // namespace sorvanta
