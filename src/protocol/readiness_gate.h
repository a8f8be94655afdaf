#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "support/uuid.h"

namespace sorvanta {

// Decides whether this Mac accepts a test the other Mac asks for: only over a direct cable
// to exactly the Mac on the control connection, with nothing else running, and never the
// same run twice. A plain value held by the service; no clock, no I/O.
class ReadinessGate {
  public:
    // How many admitted runs are remembered to refuse replays.
    static constexpr std::size_t runMemory = 64;

    struct Facts {
        bool connectionReady = false;
        std::optional<Uuid> connectedMac;
        std::optional<bool> directLink;
        // One entry per Mac that discovery sees; absent for a Mac that advertised no identity.
        std::vector<std::optional<Uuid>> visibleMacs;
        bool runInProgress = false;

        bool operator==(const Facts&) const = default;
    };

    enum class Refusal {
        notConnected,
        notDirect,
        notTheOnlyVisibleMac,
        visibleMacIsAnother,
        busy,
        replayed,
    };

    // The case name, for the log.
    static std::string_view name(Refusal refusal);

    // The first rule the facts break, or none. Leaves the run memory alone.
    static std::optional<Refusal> refusal(const Facts& facts);

    // Admits `run` (no value) or says why not. Only an admission is remembered.
    std::optional<Refusal> admit(const Uuid& run, const Facts& facts);

    // Admitted runs, oldest first, at most `runMemory`.
    const std::deque<Uuid>& recentRuns() const { return recentRuns_; }

  private:
    std::deque<Uuid> recentRuns_;
};

}  // namespace sorvanta
