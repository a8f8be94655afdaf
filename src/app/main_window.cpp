#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWindow>

#include "app/symbol_painter.h"
#include "model/sorvanta_model.h"

namespace sorvanta {

StatusLine::StatusLine(double maximumWidth, QWidget* parent)
    : QLabel(parent), maximumWidth_(maximumWidth) {
    setAlignment(Qt::AlignCenter);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setFont(uiFont(15));
    setFixedHeight(QFontMetrics(font()).height());
    setMaximumWidth(static_cast<int>(maximumWidth));
    setLine("");
}

void StatusLine::setLine(const std::string& line) {
    line_ = line;
    // An empty line keeps its height with a single space.
    const QString text = QString::fromStdString(line.empty() ? " " : line);
    QFont font = uiFont(15);
    for (double size = 15; size >= 12; size -= 0.5) {
        font = uiFont(size);
        if (QFontMetricsF(font).horizontalAdvance(text) <= maximumWidth_)
            break;
    }
    setFont(font);
    setText(QFontMetricsF(font).elidedText(text, Qt::ElideRight, maximumWidth_));
    setToolTip(text != this->text() ? text : QString());
}

MainWindow::MainWindow(std::shared_ptr<SorvantaModel> model, std::shared_ptr<Clock> clock,
                       std::string thisName, QWidget* parent)
    : QMainWindow(parent), model_(std::move(model)), thisName_(std::move(thisName)) {
    setWindowTitle(QStringLiteral("Sorvanta"));
    const WindowMetrics m = WindowMetrics::preset();
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(28, 26, 28, 28);
    column->setSpacing(26);
    passRow_ = new PassRowWidget(clock, content);
    stage_ = new StageWidget(clock, content);
    column->addWidget(passRow_, 0, Qt::AlignHCenter);
    column->addWidget(stage_, 0, Qt::AlignHCenter);
    auto* lower = new QVBoxLayout;
    lower->setSpacing(12);
    status_ = new StatusLine(m.width - 48, content);
    lower->addWidget(status_, 0, Qt::AlignHCenter);
    auto* actionArea = new QWidget(content);
    actionArea->setFixedHeight(40);
    auto* actionLayout = new QHBoxLayout(actionArea);
    actionLayout->setContentsMargins(0, 0, 0, 0);
    button_ = new QPushButton(actionArea);
    button_->setMinimumWidth(120);
    button_->setMinimumHeight(34);
    button_->setFont(uiFont(15));
    button_->hide();
    actionLayout->addWidget(button_, 0, Qt::AlignCenter);
    lower->addWidget(actionArea);
    column->addLayout(lower);
    setCentralWidget(content);
    // The window is exactly as large as its content.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    connect(button_, &QPushButton::clicked, this, &MainWindow::press);
    // Return starts a test, Escape stops one, from anywhere in the window.
    const auto keyFor = [this](QKeySequence key) {
        auto* shortcut = new QShortcut(key, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, key] {
            if (keyActs(key[0].key()))
                press();
        });
        return shortcut;
    };
    returnKey_ = keyFor(QKeySequence(Qt::Key_Return));
    enterKey_ = keyFor(QKeySequence(Qt::Key_Enter));
    escapeKey_ = keyFor(QKeySequence(Qt::Key_Escape));
    // A widget with focus may claim these keys before the window's shortcuts see them: the
    // menu bar, left highlighted after a menu was closed with Escape, takes the next Escape
    // for itself. While the key has something to do here, no widget of this window may.
    qApp->installEventFilter(this);
    refresh();
}

bool MainWindow::keyActs(int key) const {
    using Action = WindowPresentation::Action;
    if (key == Qt::Key_Escape)
        return action_ == Action::stop;
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        return (action_ == Action::test || action_ == Action::testAgain) && canStart_;
    return false;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Left unaccepted, the key goes on to the window's shortcut.
        if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && keyActs(key->key()))
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::setAppearance(const Appearance& appearance) {
    accent_ = appearance.palette.outbound();
    passRow_->setAppearance(appearance);
    stage_->setAppearance(appearance);
    QPalette palette = status_->palette();
    palette.setColor(QPalette::WindowText, toQColor(appearance.palette.secondary()));
    status_->setPalette(palette);
    QPalette window = this->palette();
    window.setColor(QPalette::Window, toQColor(appearance.palette.windowBackground()));
    setPalette(window);
    refresh();
}

void MainWindow::refresh() {
    SorvantaModel& model = *model_;
    const WindowPresentation p(model.display(), model.localID(), model.settling(),
                               model.adapterArriving());
    passRow_->setPasses(p.passes, p.lanes);
    passRow_->portLabels()->setPorts(p.localPort, p.peerPort, p.noLocalPort, p.localPortStarting);
    stage_->setPresentation(p, thisName_);
    if (p.connected || model.display().speed.busy) {
        stage_->setSearchAction({});
    } else {
        stage_->setSearchAction([this, noLocal = p.noLocalPort] {
            if (noLocal) {
                ++portNudge_;
                passRow_->portLabels()->nudge();
            }
            model_->searchAgain();
        });
    }
    status_->setLine(p.line);
    using Action = WindowPresentation::Action;
    action_ = p.action;
    canStart_ = model.canStartTest();
    button_->setVisible(action_ != Action::none);
    button_->setIcon(QIcon());
    button_->setToolTip(QString());
    // Only the stop button carries a hint; every other action starts without one.
    button_->setAccessibleDescription(QString());
    button_->setEnabled(true);
    button_->setStyleSheet(QString());
    switch (action_) {
        case Action::none:
            break;
        case Action::test:
        case Action::testAgain:
            button_->setText(action_ == Action::test ? QStringLiteral("Test")
                                                     : QStringLiteral("Test Again"));
            button_->setEnabled(canStart_);
            // The prominent button: filled with the accent colour.
            button_->setStyleSheet(
                QStringLiteral("QPushButton { background: %1; color: white; border: none;"
                               " border-radius: 6px; padding: 6px 18px; }"
                               " QPushButton:disabled { background: %2; color: %3; }")
                    .arg(toQColor(accent_).name(),
                         toQColor(Rgba::white(0.5, 0.25)).name(QColor::HexArgb),
                         toQColor(Rgba::white(0.5, 0.8)).name(QColor::HexArgb)));
            break;
        case Action::stop:
            button_->setText(QStringLiteral("Stop"));
            button_->setIcon(
                symbolIcon(Symbol::stop, button_->palette().color(QPalette::ButtonText), 14));
            button_->setAccessibleDescription(QStringLiteral("Stops the test on both Macs."));
            break;
        case Action::openSettings:
            button_->setText(QStringLiteral("Open Local Network Settings"));
            break;
    }
}

void MainWindow::press() {
    using Action = WindowPresentation::Action;
    switch (action_) {
        case Action::test:
        case Action::testAgain:
            // From the event loop: the Low Power question may open a modal dialog.
            QMetaObject::invokeMethod(
                this, [this] { model_->startTest(); }, Qt::QueuedConnection);
            break;
        case Action::stop:
            model_->service().stopQuickTest();
            break;
        // This system keeps no per-application network permission, so there is nothing to open.
        case Action::openSettings:
        case Action::none:
            break;
    }
}

void MainWindow::setWindowVisible(bool visible) {
    if (reportedVisible_ == visible)
        return;
    reportedVisible_ = visible;
    stage_->setWindowVisible(visible);
    passRow_->setWindowVisible(visible);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!visibilityWatched_ && windowHandle() != nullptr) {
        visibilityWatched_ = true;
        // Reported from the event loop, outside the window system's own delivery.
        connect(
            windowHandle(), &QWindow::visibilityChanged, this,
            [this](QWindow::Visibility v) {
                setWindowVisible(v != QWindow::Hidden && v != QWindow::Minimized);
            },
            Qt::QueuedConnection);
    }
    QMetaObject::invokeMethod(
        this, [this] { setWindowVisible(true); }, Qt::QueuedConnection);
    model_->resume();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    model_->suspend();
    setWindowVisible(false);
    QMainWindow::closeEvent(event);
}

}  // namespace sorvanta
