#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lab/fake_system.h"
#include "lab/netns_lab.h"
#include "lab/stub_quick_test.h"
#include "platform/net/asio_scheduler.h"
#include "platform/system_network_factory.h"
#include "quicktest/make_quick_test.h"
#include "quicktest/transfer_engine_factory.h"
#include "service/wire_service.h"

namespace sorvanta::testing {

// One copy of the service inside a namespace, its hardware reader admitting the given
// devices as wired PCI adapters. It is driven through the service's commands and watched
// through the snapshots it publishes.
class ServiceNode {
  public:
    // Makes the node's runs from its executor and hardware reader; stub runs when empty.
    using RunFactory =
        std::function<QuickTestFactory(NetworkExecutor, std::shared_ptr<WiredHardwareReader>)>;
    // What the node keeps of each published snapshot, e.g. as the model shows it.
    using SnapshotHook = std::function<ServiceSnapshot(const ServiceSnapshot&)>;

    struct Options {
        std::vector<std::pair<std::string, int>> adapters;
        std::string name;
        // Outputs each stub run reports at once on start.
        int burst = 0;
        RunFactory runs;
        // The link every adapter reports at first.
        LinkReading link = {true, 1'000'000'000, true};
        SnapshotHook shown;
        // How long the stopped service is given to close its runs and channels before the
        // last reference goes.
        std::chrono::milliseconds closeGrace{0};
    };

    // The real sequencer and engines over real sockets (made by `network`, the system's own
    // when absent).
    static RunFactory realRuns(std::shared_ptr<const LowPowerSource> lowPower = nullptr,
                               std::shared_ptr<NetworkFactory> network = nullptr) {
        if (!network) {
            network = std::make_shared<SystemNetworkFactory>();
        }
        return [lowPower, network](NetworkExecutor executor,
                                   std::shared_ptr<WiredHardwareReader> hardware) {
            auto engines = std::make_shared<TransferEngineFactory>(executor, network);
            return quickTestFactory(executor, engines, hardware, lowPower);
        };
    }

    ServiceNode(const std::string& ns, const std::vector<std::pair<std::string, int>>& adapters,
                std::string name, int burst = 0, RunFactory runs = {})
        : ServiceNode(ns, options(adapters, std::move(name), burst, std::move(runs))) {}

    static Options options(std::vector<std::pair<std::string, int>> adapters, std::string name,
                           int burst = 0, RunFactory runs = {}) {
        Options options;
        options.adapters = std::move(adapters);
        options.name = std::move(name);
        options.burst = burst;
        options.runs = std::move(runs);
        return options;
    }

    ServiceNode(const std::string& ns, Options options)
        : thread_(ns),
          scheduler_(std::make_shared<AsioScheduler>(thread_.executor())),
          shown_(std::move(options.shown)),
          closeGrace_(options.closeGrace) {
        for (const auto& [device, index] : options.adapters) {
            hardware_->admitPci(device, index, options.link);
        }
        const int burst = options.burst;
        WireService::Dependencies deps{thread_.executor(),
                                       std::make_shared<SystemNetworkFactory>(),
                                       scheduler_,
                                       hardware_,
                                       std::make_shared<FakeLowPowerSource>(),
                                       options.runs ? options.runs(thread_.executor(), hardware_)
                                                    : [burst](QuickTest::Setup setup) {
                                                          auto engine =
                                                              std::make_shared<StubQuickTest>();
                                                          engine->setup = std::move(setup);
                                                          engine->burst = burst;
                                                          return engine;
                                                      },
                                       [this](ServiceLogLevel, const std::string& text) {
                                           std::lock_guard lock(mutex_);
                                           if (record_) {
                                               logs_.push_back(text);
                                           }
                                       },
                                       std::move(options.name),
                                       std::nullopt,
                                       std::nullopt};
        service_ = thread_.call([&] { return WireService::create(std::move(deps)); });
    }
    ~ServiceNode() {
        thread_.call([this] {
            service_->stop();
            return 0;
        });
        std::this_thread::sleep_for(closeGrace_);
        thread_.call([this] {
            service_.reset();
            scheduler_.reset();
            return 0;
        });
    }

    void start() {
        service_->start([this](const ServiceSnapshot& snapshot) {
            std::lock_guard lock(mutex_);
            latest_ = shown_ ? shown_(snapshot) : snapshot;
            if (record_ && (history_.empty() || history_.back() != snapshot.status)) {
                history_.push_back(snapshot.status);
                times_.push_back(std::chrono::steady_clock::now());
            }
        });
    }
    // When the status first read `text`, if it did.
    std::optional<std::chrono::steady_clock::time_point> firstTime(const std::string& text) {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < history_.size(); ++i) {
            if (history_[i] == text) {
                return times_[i];
            }
        }
        return std::nullopt;
    }
    WireService& service() { return *service_; }
    FakeWiredHardwareReader& hardware() { return *hardware_; }
    // Keeps only the latest snapshot from now on (for long runs that measure memory).
    void stopRecording() {
        std::lock_guard lock(mutex_);
        record_ = false;
    }
    ServiceSnapshot snapshot() {
        std::lock_guard lock(mutex_);
        return latest_;
    }
    // Every status shown so far, each change once, joined by line breaks.
    std::string statuses() {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const auto& status : history_) {
            all += status + "\n";
        }
        return all;
    }
    bool sawStatus(const std::string& text) {
        std::lock_guard lock(mutex_);
        return std::find(history_.begin(), history_.end(), text) != history_.end();
    }
    bool logged(const std::string& text) {
        std::lock_guard lock(mutex_);
        return std::find(logs_.begin(), logs_.end(), text) != logs_.end();
    }
    // Waits up to `seconds` for the predicate on the latest snapshot.
    template <class Predicate>
    bool waitFor(Predicate predicate, double seconds = 20, int pollMilliseconds = 20) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (std::chrono::steady_clock::now() < end) {
            if (predicate(snapshot())) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pollMilliseconds));
        }
        return predicate(snapshot());
    }

  private:
    NetnsThread thread_;
    std::shared_ptr<AsioScheduler> scheduler_;
    std::shared_ptr<FakeWiredHardwareReader> hardware_ =
        std::make_shared<FakeWiredHardwareReader>();
    SnapshotHook shown_;
    std::chrono::milliseconds closeGrace_;
    std::shared_ptr<WireService> service_;
    std::mutex mutex_;
    ServiceSnapshot latest_;
    std::vector<std::string> history_;
    std::vector<std::chrono::steady_clock::time_point> times_;
    std::vector<std::string> logs_;
    bool record_ = true;
};

inline bool readyAndArmed(const ServiceSnapshot& s) {
    return s.state == ConnectionState::ready && s.directLink == true && s.speed.armed;
}

}  // namespace sorvanta::testing
