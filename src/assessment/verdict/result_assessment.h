#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "assessment/text/display_format.h"
#include "assessment/verdict/quality_assessment.h"
#include "protocol/speed_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// The verdict of one Quick Test as the window and the report show it: first the speed
// verdict of the TCP stages alone, then, merged into it, the quality verdict.
struct ResultAssessment {
    enum class Outcome { passed, measured, warning, inconclusive, incomplete };

    // Why the simultaneous rates fell.
    struct DuplexCause {
        enum class Kind { lowPower, cleanCeiling, unexplained };
        Kind kind = Kind::unexplained;
        // With `lowPower`: the Macs in Low Power Mode whose same-direction rate dropped.
        std::vector<Uuid> macs;
        bool operator==(const DuplexCause&) const = default;
    };

    // The structured cause of some warnings.
    struct UnevenSpeeds {
        std::int64_t slowerStage = 0;  // 0 forward, 1 reverse
        bool operator==(const UnevenSpeeds&) const = default;
    };
    struct DuplexDrop {
        DuplexCause cause;
        bool operator==(const DuplexDrop&) const = default;
    };
    struct LinkBelowAdapters {
        double link = 0;
        double adapters = 0;
        bool operator==(const LinkBelowAdapters&) const = default;
    };
    struct SlowerThanLink {
        double link = 0;
        std::vector<std::int64_t> shortStages;
        std::optional<Uuid> usb2Mac;
        bool operator==(const SlowerThanLink&) const = default;
    };
    using SpeedFinding = std::variant<UnevenSpeeds, DuplexDrop, LinkBelowAdapters, SlowerThanLink>;

    // A negotiated link rate to judge the run against.
    struct LinkObservation {
        Uuid run;
        double bitsPerSecond = 0;
        bool active = false;
        // Observed during this run rather than in general.
        bool testScoped = false;
        // Opens the explanation texts, e.g. "Negotiated link during this test".
        std::string source;
        bool operator==(const LinkObservation&) const = default;
    };

    Outcome outcome = Outcome::incomplete;
    std::string title;
    std::optional<std::string> performance;
    std::string explanation;
    std::optional<SpeedFinding> finding;
    // Filled by `merging` only.
    std::optional<QualityAssessment::Outcome> quality;
    std::optional<QualityAssessment::TCPIssue> tcpIssue;
    std::optional<Outcome> speedOutcome;

    bool operator==(const ResultAssessment&) const = default;

    // The speed verdict of `speed`. `run` is the run the caller wants judged (absent
    // accepts any); `link` an observed link, else the run's own evidence gives it. Rates
    // in the texts are written with `format`.
    static ResultAssessment speedVerdict(const SpeedSnapshot& speed, const std::optional<Uuid>& run,
                                         const std::optional<LinkObservation>& link = std::nullopt,
                                         const DisplayFormat& format = DisplayFormat::current());

    // This speed verdict with the quality verdict folded in; unchanged when incomplete.
    ResultAssessment merging(const QualityAssessment& quality) const;

    // The verdict a person is shown: the speed verdict, and unless it is incomplete, the
    // quality verdict of the same snapshot merged into it.
    static ResultAssessment shown(const SpeedSnapshot& speed, const std::optional<Uuid>& run,
                                  const DisplayFormat& format = DisplayFormat::current());
};

}  // namespace sorvanta
