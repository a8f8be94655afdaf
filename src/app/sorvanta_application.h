#pragma once

#include <QObject>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/app_actions.h"
#include "app/details_window.h"
#include "app/help_window.h"
#include "app/main_window.h"
#include "app/report_autosave.h"
#include "app/system_bridges.h"
#include "model/sorvanta_model.h"

namespace sorvanta {

class SleepWatch;

// The program's root: one model for the whole process, the three windows (only the main one
// shown at launch), the shared menu commands, sleep and wake, and the report autosave.
class SorvantaApplication final : public QObject {
    Q_OBJECT
  public:
    struct Options {
        std::shared_ptr<ModelService> service;
        std::shared_ptr<Clock> clock;          // the steady clock unless given
        std::shared_ptr<LowPowerAlert> alert;  // a message box unless given
        std::shared_ptr<TestActivity> activity;
        std::optional<std::string> hostName;
        Appearance appearance;
        bool listenForSleep = true;
        // Where finished runs' reports are saved, when at all; the report carries `build`,
        // the same build the windows show.
        struct SaveReports {
            bool enabled = false;
            std::optional<std::filesystem::path> folder;
        } saveReports;
        AppBuild build;
    };
    explicit SorvantaApplication(Options options, QObject* parent = nullptr);
    ~SorvantaApplication() override;

    SorvantaModel& model() { return *model_; }
    MainWindow& mainWindow() { return *main_; }
    DetailsWindow& detailsWindow() { return *details_; }
    HelpWindow& helpWindow() { return *help_; }
    AppActions& actions() { return *actions_; }
    void show();
    void setAppearance(const Appearance& appearance);
    // Ends the program as "Quit Sorvanta" does: every window closes, the service stops (so
    // the other computer hears its goodbyes), then the event loop ends with status 0. Once
    // only; later calls do nothing. On the GUI thread.
    void quit();

  private:
    static void bringForward(QWidget& window);
    void scheduleRefresh();
    void refresh();

    std::shared_ptr<Clock> clock_;
    std::shared_ptr<SorvantaModel> model_;
    ReportAutosave autosave_;
    std::unique_ptr<AppActions> actions_;
    std::unique_ptr<MainWindow> main_;
    std::unique_ptr<DetailsWindow> details_;
    std::unique_ptr<HelpWindow> help_;
    SleepWatch* sleep_ = nullptr;
    bool refreshPending_ = false;
    bool quitting_ = false;
};

}  // namespace sorvanta
