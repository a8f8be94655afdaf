#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/system/low_power_source.h"

namespace sorvanta {

class PowerProfileWatch;

// Low Power Mode as power-profiles-daemon's active profile: on while it is "power-saver".
// Follows the daemon over sd-bus (PowerProfileWatch) on a thread of its own. Without a bus
// or a daemon the mode is false and nothing is reported.
class DbusLowPowerSource final : public LowPowerSource {
  public:
    // On the system bus.
    DbusLowPowerSource();
    // On the bus at `address` (a D-Bus address such as "unix:path=/run/…").
    explicit DbusLowPowerSource(const std::string& address);
    ~DbusLowPowerSource() override;

    DbusLowPowerSource(const DbusLowPowerSource&) = delete;
    DbusLowPowerSource& operator=(const DbusLowPowerSource&) = delete;

    bool lowPower() const override { return value_.load(); }
    void start(NetworkExecutor executor, ChangeHandler handler) override;
    void stop() override;

  private:
    void begin(std::unique_ptr<PowerProfileWatch> watch);
    void publish(bool value);

    std::atomic<bool> value_{false};
    std::mutex mutex_;
    std::optional<NetworkExecutor> executor_;
    ChangeHandler handler_;
    HandlerGate gate_;
    std::unique_ptr<PowerProfileWatch> watch_;
    std::thread thread_;
};

}  // namespace sorvanta
