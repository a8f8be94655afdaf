#include "app/app_actions.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenuBar>

#include "app/adapter_menu.h"
#include "model/sorvanta_model.h"

namespace sorvanta {

AppActions::AppActions(std::shared_ptr<SorvantaModel> model, Windows windows, QObject* parent)
    : QObject(parent), model_(std::move(model)) {
    test = new QAction(QStringLiteral("Test"), this);
    test->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return));
    connect(test, &QAction::triggered, this, [this] {
        // Run from the event loop: the Low Power question may open a modal dialog.
        QMetaObject::invokeMethod(
            this, [this] { model_->startTest(); }, Qt::QueuedConnection);
    });
    stopTest = new QAction(QStringLiteral("Stop Test"), this);
    stopTest->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
    connect(stopTest, &QAction::triggered, this, [this] { model_->service().stopQuickTest(); });
    searchAgain = new QAction(QStringLiteral("Search Again"), this);
    searchAgain->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(searchAgain, &QAction::triggered, this, [this] { model_->searchAgain(); });
    details = new QAction(QStringLiteral("Connection Details"), this);
    details->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    connect(details, &QAction::triggered, this, [open = windows.details] { open(); });
    copy = new QAction(QStringLiteral("Copy Report"), this);
    copy->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    connect(copy, &QAction::triggered, this, [this] { copyReport(*model_); });
    help = new QAction(QStringLiteral("Sorvanta Help"), this);
    help->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Question), QKeySequence(Qt::Key_F1)});
    connect(help, &QAction::triggered, this, [open = windows.help] { open(); });
    quit = new QAction(QStringLiteral("Quit Sorvanta"), this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, [quit = windows.quit] { quit(); });
    mainWindow = new QAction(QStringLiteral("Main Window"), this);
    mainWindow->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(mainWindow, &QAction::triggered, this, [open = windows.main] { open(); });
    adapters_ = std::make_unique<AdapterMenu>(*model_);
    adapterMenu = adapters_->menu();
    refresh();
}

AppActions::~AppActions() = default;

void AppActions::installMenuBar(QMainWindow& window) {
    QMenuBar* bar = window.menuBar();
    // Closing is the one command that belongs to its own window.
    auto* close = new QAction(QStringLiteral("Close Window"), &window);
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(close, &QAction::triggered, &window, &QWidget::close);
    QMenu* file = bar->addMenu(QStringLiteral("File"));
    file->addAction(close);
    file->addSeparator();
    file->addAction(quit);
    QMenu* connection = bar->addMenu(QStringLiteral("Connection"));
    connection->addAction(test);
    connection->addAction(stopTest);
    connection->addSeparator();
    connection->addAction(searchAgain);
    connection->addSeparator();
    connection->addAction(details);
    connection->addAction(copy);
    connection->addSeparator();
    connection->addMenu(adapterMenu);
    bar->addMenu(QStringLiteral("Window"))->addAction(mainWindow);
    bar->addMenu(QStringLiteral("Help"))->addAction(help);
    // Shortcuts work in every window, whether or not its menu is open.
    window.addActions({close, quit, test, stopTest, searchAgain, details, copy, mainWindow, help});
}

void AppActions::refresh() {
    SorvantaModel& model = *model_;
    test->setEnabled(model.canStartTest());
    stopTest->setEnabled(model.display().speed.busy);
    searchAgain->setEnabled(SorvantaModel::canSearchAgain(model.snapshot(), model.started()));
    copy->setEnabled(model.snapshot().speed.run.has_value());
    adapters_->refresh();
}

bool AppActions::copyReport(SorvantaModel& model) {
    const auto text = model.connectionDetailsText();
    if (!text)
        return false;
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QString value = QString::fromStdString(*text);
    clipboard->clear();
    clipboard->setText(value);
    return clipboard->text() == value;
}

}  // namespace sorvanta
