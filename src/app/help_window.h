#pragma once

#include <QMainWindow>

namespace sorvanta {

// The fixed help text: how to test a cable, how to read the result, what to do when the
// other computer does not appear, and what happens to data. Its content is 520 × 560 px
// and scrolls when the text is larger.
class HelpWindow final : public QMainWindow {
    Q_OBJECT
  public:
    explicit HelpWindow(QWidget* parent = nullptr);
    QWidget* content() const { return content_; }

  private:
    QWidget* content_;
};

}  // namespace sorvanta
