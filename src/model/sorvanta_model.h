#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "assessment/presentation/result_history.h"
#include "assessment/presentation/result_visibility.h"
#include "assessment/report/connection_details_report.h"
#include "model/low_power_alert.h"
#include "model/model_executor.h"
#include "model/model_service.h"
#include "model/test_activity.h"
#include "platform/net/scheduler.h"
#include "protocol/service_snapshot.h"

namespace sorvanta {

// The one object through which the windows see the network service. It owns the service,
// starts and stops it with the window and with sleep and wake, applies every published
// snapshot on its own executor, keeps two short timed flags that soften the window's
// reaction to interface changes, and offers the user's actions. Every member is used on the
// model's executor only; the service's snapshots are handed over to it.
class SorvantaModel : public std::enable_shared_from_this<SorvantaModel> {
  public:
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    static constexpr double settlingSeconds = 15;
    static constexpr double adapterArrivalSeconds = 20;
    static constexpr std::string_view activityReason = "Sorvanta test in progress";

    struct Dependencies {
        std::shared_ptr<ModelService> service;
        std::shared_ptr<ModelExecutor> executor;
        // Its actions run on `executor`.
        std::shared_ptr<Scheduler> scheduler;
        std::shared_ptr<LowPowerAlert> alert;
        // Optional.
        std::shared_ptr<TestActivity> activity;
        // The system clock unless given.
        WallClock currentTime;
        // This computer's name; "This Mac" stands in when absent.
        std::optional<std::string> hostName;
        AppBuild build;
        // Runs at the end of every applied snapshot (the report autosave); optional.
        std::function<void(const SorvantaModel&)> afterApply;
    };

    static std::shared_ptr<SorvantaModel> create(Dependencies dependencies);

    SorvantaModel(const SorvantaModel&) = delete;
    SorvantaModel& operator=(const SorvantaModel&) = delete;

    // Called whenever a field the windows read changes.
    void setObserver(std::function<void()> observer) { observer_ = std::move(observer); }

    // The shown snapshot (after result visibility), the snapshot as completed by the result
    // history, and the last one applied exactly as published.
    const ServiceSnapshot& snapshot() const { return snapshot_; }
    const ServiceSnapshot& display() const { return display_; }
    const ServiceSnapshot& rawSnapshot() const { return rawSnapshot_; }
    const ResultVisibility& visibility() const { return visibility_; }
    bool started() const { return started_; }
    bool settling() const { return settling_; }
    bool adapterArriving() const { return adapterArriving_; }
    bool testActivityHeld() const { return activityHeld_; }
    // Interface selection and Stop Test go to the service directly.
    ModelService& service() { return *service_; }
    const Uuid& localID() const { return service_->localID(); }

    // Start and stop the service. Requests are carried out later on the model's executor,
    // strictly in the order made, so a start and a stop never overlap; `done` runs after.
    void resume(std::function<void()> done = {});
    void suspend(std::function<void()> done = {});

    void refresh();
    void beginSettling();
    void beginAdapterArrival();
    void apply(const ServiceSnapshot& snapshot);

    // The user's actions.
    bool canStartTest() const;
    void startTest();
    static bool canSearchAgain(const ServiceSnapshot& snapshot, bool started);
    void searchAgain();
    std::vector<std::string> lowPowerMacNames() const;
    static LowPowerAlert::Content lowPowerAlertContent(const std::vector<std::string>& names);
    // The report for the clipboard; absent while the current run's result may not be shown.
    std::optional<std::string> connectionDetailsText();

    // One text per detected interface: name/index/link state ("en7/18/true").
    static std::vector<std::string> interfaceKeys(const ServiceSnapshot& snapshot);

  private:
    explicit SorvantaModel(Dependencies dependencies);

    void runLifecycle();
    void updateTestActivity(bool busy);
    void setFlag(bool& flag, bool value);
    void notify();
    std::chrono::system_clock::time_point now() const;

    Dependencies deps_;
    std::shared_ptr<ModelService> service_;
    ServiceSnapshot snapshot_;
    ServiceSnapshot display_;
    ServiceSnapshot rawSnapshot_;
    ResultVisibility visibility_;
    ResultHistory displayHistory_;
    bool started_ = false;
    bool settling_ = false;
    bool adapterArriving_ = false;
    bool activityHeld_ = false;
    std::optional<Scheduler::Token> settlingTimer_;
    std::optional<Scheduler::Token> arrivalTimer_;
    // Pending start (true) and stop (false) requests with their completions, oldest first.
    std::vector<std::pair<bool, std::function<void()>>> lifecycle_;
    bool lifecycleRunning_ = false;
    std::function<void()> observer_;
};

}  // namespace sorvanta
