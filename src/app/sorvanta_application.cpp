#include "app/sorvanta_application.h"

#include <QGuiApplication>
#include <QTimer>

#include "app/element_accessibility.h"
#include "app/qt_runtime.h"
#include "app/sleep_watch.h"

namespace sorvanta {

SorvantaApplication::SorvantaApplication(Options options, QObject* parent)
    : QObject(parent),
      clock_(options.clock ? options.clock : std::make_shared<SteadyClock>()),
      autosave_(options.saveReports.enabled, options.saveReports.folder, options.build) {
    static const bool accessible = [] {
        installStageAccessibility();
        installElementAccessibility();
        return true;
    }();
    (void)accessible;
    auto alert = options.alert;
    auto boxAlert = std::make_shared<QtLowPowerAlert>();
    if (!alert)
        alert = boxAlert;
    SorvantaModel::Dependencies deps;
    deps.service = options.service;
    deps.executor = std::make_shared<QtModelExecutor>(this);
    deps.scheduler = std::make_shared<QtScheduler>(clock_);
    deps.alert = alert;
    deps.activity = options.activity;
    deps.hostName = options.hostName;
    deps.build = options.build;
    deps.afterApply = [this](const SorvantaModel& model) {
        autosave_.saveIfNeeded(model.snapshot());
    };
    model_ = SorvantaModel::create(std::move(deps));
    actions_ = std::make_unique<AppActions>(
        model_,
        AppActions::Windows{[this] { bringForward(*details_); }, [this] { bringForward(*help_); },
                            [this] { bringForward(*main_); }, [this] { quit(); }});
    main_ = std::make_unique<MainWindow>(model_, clock_, localComputerName(options.hostName));
    details_ = std::make_unique<DetailsWindow>(model_, options.build);
    help_ = std::make_unique<HelpWindow>();
    boxAlert->setParent(main_.get());
    for (QMainWindow* window :
         {static_cast<QMainWindow*>(main_.get()), static_cast<QMainWindow*>(details_.get()),
          static_cast<QMainWindow*>(help_.get())})
        actions_->installMenuBar(*window);
    model_->setObserver([this] { scheduleRefresh(); });
    if (options.listenForSleep) {
        // Sleep and wake matter only while the main window's content is there.
        sleep_ = new SleepWatch(
            [this] {
                if (main_->isVisible())
                    model_->suspend();
            },
            [this] {
                if (main_->isVisible())
                    model_->resume();
            },
            this);
    }
    // Coming back to the application re-applies what may be shown.
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive)
                    model_->refresh();
            });
    setAppearance(options.appearance);
}

SorvantaApplication::~SorvantaApplication() {
    model_->setObserver({});
}

void SorvantaApplication::show() {
    main_->show();
}

void SorvantaApplication::quit() {
    if (quitting_)
        return;
    quitting_ = true;
    details_->close();
    help_->close();
    // The main window's closing suspends the service; the loop ends after that stop.
    main_->close();
    model_->suspend([] { QCoreApplication::exit(0); });
}

void SorvantaApplication::setAppearance(const Appearance& appearance) {
    main_->setAppearance(appearance);
    details_->setAppearance(appearance);
}

void SorvantaApplication::bringForward(QWidget& window) {
    window.show();
    window.raise();
    window.activateWindow();
}

// Many model changes in one turn of the event loop redraw once.
void SorvantaApplication::scheduleRefresh() {
    if (refreshPending_)
        return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, [this] {
        refreshPending_ = false;
        refresh();
    });
}

void SorvantaApplication::refresh() {
    main_->refresh();
    details_->refresh();
    actions_->refresh();
}

}  // namespace sorvanta
