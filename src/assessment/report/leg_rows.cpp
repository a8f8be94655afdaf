#include <algorithm>
#include <array>
#include <cmath>

#include "assessment/report/report_rows.h"
#include "assessment/text/peer_text.h"
#include "protocol/udp_rules.h"

namespace sorvanta {
namespace {

using Format = DisplayFormat;

constexpr std::array<std::string_view, UDPQueueDelay::bucketCount> delayLabels{
    "<0.5", "0.5\u20131", "1\u20132", "2\u20134", "4\u20138", "8\u201316", "\u226516"};

// Seconds as milliseconds.
double ms(double seconds) {
    return seconds * 1000.0;
}

std::string offsetOr(const std::optional<double>& offset) {
    return offset ? Format::plain(*offset) : "Unavailable";
}

// The lost datagrams the receiver's own backlog does not explain (all of them when the
// peer gives no hole count).
std::int64_t unexplained(const UDPObservation& leg, std::int64_t lost) {
    return leg.unexplainedHoles ? std::min(*leg.unexplainedHoles, lost) : lost;
}

std::string payloadProfile(const ReportWriter& report, const UDPObservation& leg) {
    return "1200 bytes; target " + Format::plain(leg.capacity * 0.75) + " bps for " +
           report.formatted(leg.plannedSeconds) + "s; " +
           (leg.attempt > 0 ? "lower-rate capacity " + Format::plain(leg.capacity) +
                                  " bps from 80% of what the first attempt sustained"
                            : "TCP capacity C " + Format::plain(leg.capacity) + " bps") +
           "; sequential legs after TCP load stopped";
}

std::string endpointLimit(const UDPObservation& leg) {
    if (leg.receiverLimited()) {
        const auto lost = leg.lostDatagrams();
        const std::int64_t explained =
            lost && leg.unexplainedHoles ? *lost - unexplained(leg, *lost) : 0;
        return "The receiving Mac likely couldn\u2019t keep up: " + Format::decimal(explained) +
               " packets went missing at its peak backlog, when its own buffer was probably full";
    }
    if (leg.senderLimited()) {
        return "The sending Mac couldn\u2019t offer the planned load";
    }
    return "None observed";
}

std::string sender(const UDPSendSummary& send) {
    const bool timed = std::isfinite(send.seconds) && send.seconds > 0;
    // Formed in double: a peer's huge count cannot wrap.
    const std::string offered =
        timed ? Format::plain(udp_rules::offeredBitsPerSecond(
                    send.accepted, UDPSendSummary::datagramBytes, send.seconds)) +
                    " bps"
              : "Unavailable";
    return Format::decimal(send.attempted) + " attempted; " + Format::decimal(send.accepted) +
           " locally accepted; " + Format::decimal(send.failed) + " failed; " +
           Format::plain(send.seconds) + "s; actual offered " + offered;
}

std::string queueingDelay(const ReportWriter& report, const UDPQueueDelay& delay) {
    const std::string mean =
        delay.samples > 0
            ? report.formatted(ms(delay.total / static_cast<double>(delay.samples))) + " ms"
            : "Unavailable";
    std::string buckets;
    for (const auto& text : labeledCounts(delayLabels, delay.buckets)) {
        buckets += (buckets.empty() ? "" : ", ") + text;
    }
    return Format::decimal(delay.samples) + " datagrams; mean " + mean + "; max " +
           report.formatted(ms(delay.maximum)) + " ms; by " + buckets +
           ". One-way transit above the leg's fastest datagram; endpoint backlog, since the "
           "cable adds no queue.";
}

bool lossQualified(const UDPObservation& leg) {
    return leg.receiveServiceCovered() && !leg.reason &&
           udp_rules::passes([&] { leg.validate(); }) && leg.send.failed == 0 && !leg.send.reason &&
           leg.send.accepted > 0 && leg.receiverOverruns == 0 && leg.lostDatagrams();
}

}  // namespace

std::vector<std::string> labeledCounts(std::span<const std::string_view> labels,
                                       std::span<const std::int64_t> counts) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < std::min(labels.size(), counts.size()); ++i) {
        texts.push_back(std::string(labels[i]) + ": " + Format::decimal(counts[i]));
    }
    return texts;
}

void writeLegRows(ReportWriter& report, const UDPObservation& leg) {
    const UDPSendSummary& send = leg.send;
    report.row("UDP probe leg", "run " + leg.run.text() + "; session " + leg.session.text() +
                                    "; probe " + leg.probe.text() + "; leg " +
                                    Format::decimal(leg.leg) +
                                    (leg.attempt > 0 ? " (re-run at a lower rate)" : "") +
                                    "; physical sender " + leg.sender.text());
    report.row("UDP payload profile", payloadProfile(report, leg));
    report.row("Endpoint limit", endpointLimit(leg));
    report.row("Sender", sender(send));
    report.row("Sender-local offsets",
               "measurement " + offsetOr(send.measurementStart) + "\u2026" +
                   offsetOr(send.measurementEnd) + "s; first/last submissions " +
                   offsetOr(send.firstSubmission) + "\u2026" + offsetOr(send.lastSubmission) +
                   "s; relative to this UDP transport epoch");
    report.row("Pacing", Format::decimal(send.pacingGaps) + " gaps; " +
                             Format::decimal(send.discardedSlots) +
                             " discarded slots; maximum gap " + Format::plain(send.maximumGap) +
                             "s; maximum in-flight " + Format::decimal(send.maximumInFlight) +
                             "; safety cap reached " + (send.capped ? "true" : "false"));
    report.row("Receiver", Format::decimal(leg.unique) + " unique; " +
                               Format::decimal(leg.duplicates) + " duplicates; " +
                               Format::decimal(leg.outOfOrder) + " out-of-order; " +
                               Format::decimal(leg.rejected) + " rejected; " +
                               Format::decimal(leg.receiverOverruns) + " overruns; arrival span " +
                               Format::plain(leg.arrivalSpan) + "s; tail " +
                               Format::plain(leg.tailSeconds) + "s");
    const auto lost = leg.lostDatagrams();
    report.row("Raw UDP nonarrival", lost ? Format::decimal(*lost) + " of " +
                                                Format::decimal(send.accepted) +
                                                " packets; cause not established by these counts"
                                          : "Unavailable; sender/range accounting incomplete");
    if (lost) {
        const auto notExplained = unexplained(leg, *lost);
        report.row("Loss attribution",
                   Format::decimal(*lost - notExplained) +
                       " missing at the receiver\u2019s peak backlog (likely its own buffer "
                       "overflowing); " +
                       Format::decimal(notExplained) + " not explained by it" +
                       (leg.unexplainedHoles ? "" : " (older peer: no attribution)"));
    }
    const auto& coverage = leg.receiveCoverage;
    report.row("Receiver service coverage",
               coverage
                   ? Format::decimal(coverage->checks) + " checks; maximum service gap " +
                         Format::plain(coverage->maximumGap) + "s; " +
                         Format::decimal(coverage->delayedChecks) + " delayed checks; offsets " +
                         offsetOr(coverage->first) + "\u2026" + offsetOr(coverage->last) +
                         "s. Queue-service observations, not kernel/CRC counts."
                   : "Unavailable from this peer");
    report.row("Queueing delay",
               leg.queueDelay ? queueingDelay(report, *leg.queueDelay) : "Unavailable");
    report.row("UDP probe loss",
               lossQualified(leg)
                   ? Format::decimal(*lost) + " of " + Format::decimal(send.accepted) +
                         " probe packets missed; " + Format::plain(leg.lossPercent().value_or(0)) +
                         "% end-to-end nonarrival by allowance"
                   : "Unavailable; receive-service or sender/range accounting is unqualified");
    report.row("UDP arrival variation (jitter)",
               "final " + (leg.jitter ? Format::plain(ms(*leg.jitter)) : "Unavailable") +
                   "ms; maximum " +
                   (leg.maximumJitter ? Format::plain(ms(*leg.maximumJitter)) : "Unavailable") +
                   "ms; sustained above 10ms " + Format::plain(leg.highJitterSeconds) +
                   "s; application timestamps, includes queues/scheduling, not one-way cable "
                   "delay");
    report.row("Probe coverage",
               leg.timingUsable()        ? "Full intended offered-load and timing coverage"
               : leg.passedWithoutLoss() ? "Every packet arrived; receive timing was limited, so "
                                           "arrival timing is not assessed (quality policy 3)"
                                         : "Limited; the probe did not cover its intended "
                                           "offered load and timing");
    report.row("Probe validity", leg.reason    ? cleanPeerText(*leg.reason)
                                 : send.reason ? cleanPeerText(*send.reason)
                                               : "Interpretable accounting");
    report.row("Timing validity", leg.timingReason ? cleanPeerText(*leg.timingReason)
                                                   : "Application timing coverage valid");
    report.paragraph(cleanPeerText(leg.senderPath) + "\n" + cleanPeerText(leg.receiverPath) + "\n");
}

}  // namespace sorvanta
