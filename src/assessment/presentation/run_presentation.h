#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "assessment/text/display_format.h"
#include "protocol/quick_stage.h"
#include "protocol/service_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// What the window needs to know about a test that is under way: whether the shown run is the
// current one, the step it is in, the receiving directions of the running stage and the probe
// leg being sent. Rebuilt for every rendering; caches nothing.
struct RunPresentation {
    enum class SenderSide { local, remote, unavailable };
    enum class Progress {
        none,
        preparing,
        measuring,
        stageRecorded,
        quality,
        finished,
        endedInPreparation
    };

    // One receiving direction of the running stage as the band shows it.
    struct Receiver {
        Uuid id;
        std::string label;
        std::optional<double> rate;
        std::optional<double> progress;
        bool final = false;
        SenderSide senderSide = SenderSide::unavailable;
        bool operator==(const Receiver&) const = default;
    };

    // Reads `snapshot` in place, so it must outlive the value; a temporary is refused.
    RunPresentation(const ServiceSnapshot& snapshot, std::optional<Uuid> localSenderID)
        : snapshot(snapshot), localSenderID(std::move(localSenderID)) {}
    RunPresentation(ServiceSnapshot&&, std::optional<Uuid>) = delete;

    const ServiceSnapshot& snapshot;
    std::optional<Uuid> localSenderID;

    bool runMatchesContext() const;
    Progress progress() const;
    std::optional<QuickStage> currentStage() const;
    std::vector<Receiver> receivers() const;
    Receiver receiver(const DirectionMeasurement& direction) const;
    std::set<std::int64_t> completedQualityLegs() const;
    std::optional<QuickStage> qualityStage() const;
    SenderSide qualitySenderSide() const;

    // The number of a rate figure without its unit: billions with 0 to 2 fraction digits, or
    // millions with none.
    static std::string mbpsText(double bitsPerSecond, bool gigabits,
                                const DisplayFormat& format = DisplayFormat::current());
};

}  // namespace sorvanta
