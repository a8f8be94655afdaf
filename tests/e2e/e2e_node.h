#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "assessment/presentation/result_history.h"
#include "lab/fake_system.h"
#include "lab/netns_lab.h"
#include "platform/net/asio_scheduler.h"
#include "platform/system_network_factory.h"
#include "quicktest/make_quick_test.h"
#include "quicktest/transfer_engine_factory.h"
#include "service/wire_service.h"

namespace sorvanta::testing {

// One whole copy of the system inside a namespace: the network service with the real Quick
// Test engines, its hardware reader admitting one device as a wired adapter with the link
// the scenario sets. It is driven only through the service's commands and watched only
// through the snapshots it publishes, passed through the result history as the model does.
class E2eNode {
  public:
    E2eNode(const std::string& ns, const std::string& device, int index, std::string name,
            LinkReading link)
        : device_(device),
          thread_(ns),
          scheduler_(std::make_shared<AsioScheduler>(thread_.executor())) {
        hardware_->admitPci(device, index, link);
        auto network = std::make_shared<SystemNetworkFactory>();
        auto engines = std::make_shared<TransferEngineFactory>(thread_.executor(), network);
        WireService::Dependencies deps{
            thread_.executor(),
            network,
            scheduler_,
            hardware_,
            lowPower_,
            quickTestFactory(thread_.executor(), engines, hardware_, lowPower_),
            [](ServiceLogLevel, const std::string&) {},
            std::move(name),
            std::nullopt,
            std::nullopt};
        service_ = thread_.call([&] { return WireService::create(std::move(deps)); });
    }
    ~E2eNode() {
        thread_.call([this] {
            service_->stop();
            return 0;
        });
        // Give the stopped run and channels a moment to close before the last reference goes.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        thread_.call([this] {
            service_.reset();
            scheduler_.reset();
            return 0;
        });
    }

    void start() {
        service_->start([this](const ServiceSnapshot& snapshot) {
            std::lock_guard lock(mutex_);
            // Shown as the model shows it: with the result history filled in.
            latest_ = history_.update(snapshot, std::chrono::system_clock::now());
            if (statuses_.empty() || statuses_.back() != snapshot.status) {
                statuses_.push_back(snapshot.status);
            }
            if (speedStatuses_.empty() || speedStatuses_.back() != snapshot.speed.status) {
                speedStatuses_.push_back(snapshot.speed.status);
            }
        });
    }
    WireService& service() { return *service_; }
    FakeWiredHardwareReader& hardware() { return *hardware_; }
    const std::string& device() const { return device_; }

    ServiceSnapshot snapshot() {
        std::lock_guard lock(mutex_);
        return latest_;
    }
    bool sawStatus(const std::string& text) {
        std::lock_guard lock(mutex_);
        return std::find(statuses_.begin(), statuses_.end(), text) != statuses_.end();
    }
    template <class Predicate>
    bool waitFor(Predicate predicate, double seconds) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (std::chrono::steady_clock::now() < end) {
            if (predicate(snapshot())) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return predicate(snapshot());
    }

  private:
    std::string device_;
    NetnsThread thread_;
    std::shared_ptr<AsioScheduler> scheduler_;
    std::shared_ptr<FakeWiredHardwareReader> hardware_ =
        std::make_shared<FakeWiredHardwareReader>();
    std::shared_ptr<FakeLowPowerSource> lowPower_ = std::make_shared<FakeLowPowerSource>();
    std::shared_ptr<WireService> service_;
    std::mutex mutex_;
    ResultHistory history_;
    ServiceSnapshot latest_;
    std::vector<std::string> statuses_;
    std::vector<std::string> speedStatuses_;
};

inline bool readyAndArmed(const ServiceSnapshot& s) {
    return s.state == ConnectionState::ready && s.directLink == true && s.speed.armed;
}

inline bool runEnded(const ServiceSnapshot& s) {
    using Phase = SpeedSnapshot::Phase;
    return !s.speed.busy && s.speed.run &&
           (s.speed.phase == Phase::complete || s.speed.phase == Phase::cancelled ||
            s.speed.phase == Phase::failed);
}

}  // namespace sorvanta::testing
