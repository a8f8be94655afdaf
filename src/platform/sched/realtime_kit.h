#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "platform/sched/realtime_broker.h"

namespace sorvanta {

// RealtimeKit (org.freedesktop.RealtimeKit1), which desktops run for their audio server,
// over sd-bus. Each request opens a connection of its own and closes it again, and waits at
// most `patience` for it all, connecting included. Once the bus or the service turns out to
// be missing, it refuses at once from then on.
class RealtimeKit final : public RealtimeBroker {
  public:
    static constexpr std::chrono::milliseconds defaultPatience{200};

    // On the system bus.
    RealtimeKit();
    // On the bus at `address` (a D-Bus address such as "unix:path=/run/…").
    explicit RealtimeKit(std::string address, std::chrono::microseconds patience = defaultPatience);

    RealtimeKit(const RealtimeKit&) = delete;
    RealtimeKit& operator=(const RealtimeKit&) = delete;

    std::optional<Limits> limits() override;
    bool makeThreadRealtime(std::uint64_t thread, std::uint32_t priority) override;

  private:
    class Exchange;

    std::string address_;
    std::chrono::microseconds patience_;
    std::atomic<bool> missing_{false};
};

}  // namespace sorvanta
