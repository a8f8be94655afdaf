#include "assessment/report/report_rows.h"
#include "assessment/text/peer_text.h"
#include "assessment/verdict/series_consistency.h"

namespace sorvanta {
namespace {

using Format = DisplayFormat;

std::string intervalRow(const ThroughputInterval& interval) {
    const double duration = interval.end - interval.start;
    return Format::plain(interval.start) + "\u2026" + Format::plain(interval.end) + "s; " +
           Format::decimal(interval.bytes) + " bytes / " + Format::plain(duration) + "s; " +
           ReportWriter::plainOr(interval.bitsPerSecond()) + " bps; " +
           (isValidSeriesInterval(interval) ? "valid" : "sampling gap/partial");
}

void writeSeries(ReportWriter& report, const SpeedSample& sample) {
    const auto summary = summarizeSeries(sample);
    report.row("TCP consistency", "median " + ReportWriter::plainOr(summary.median) +
                                      " bps; lowest " + ReportWriter::plainOr(summary.lowest) +
                                      " bps; " + Format::decimal(summary.validIntervals) +
                                      " valid intervals; coverage " +
                                      Format::plain(summary.coverage) + "; consecutive dips " +
                                      Format::decimal(summary.consecutiveDips) + "; stalls " +
                                      Format::decimal(summary.stalls));
    report.row("Series validity",
               summary.reason ? cleanPeerText(*summary.reason) : "Valid receiver-local coverage");
    for (const auto& interval : sample.intervals) {
        report.row("Interval", intervalRow(interval));
    }
}

std::string windowResends(const ReportWriter& report, const TCPSlice& window) {
    const std::string share = window.sent > 0
                                  ? report.formatted(static_cast<double>(window.retransmitted) *
                                                     100.0 / static_cast<double>(window.sent)) +
                                        "%"
                                  : "Unavailable";
    return Format::decimal(window.retransmitted) + " of " + Format::decimal(window.sent) +
           " bytes (" + share + ") over " + report.formatted(window.duration) +
           "s from the measurement barrier to the end of load; excludes preparation, slow start "
           "and warmup, like iperf3 --omit";
}

std::string resendsBySecond(const ReportWriter& report, const std::vector<TCPSlice>& slices) {
    std::string listed;
    std::size_t count = 0;
    for (const auto& slice : slices) {
        if (slice.retransmitted == 0) {
            continue;
        }
        listed += (count++ == 0 ? "" : "; ") + report.formatted(slice.start) + "s+" +
                  report.formatted(slice.duration) + "s " + Format::decimal(slice.retransmitted) +
                  " bytes";
    }
    if (count == 0) {
        return "None in " + Format::decimal(slices.size()) + " one-second slices";
    }
    return "In " + Format::decimal(count) + " of " + Format::decimal(slices.size()) +
           " one-second slices: " + listed + " (seconds after the connection was ready)";
}

void writeSenderReport(ReportWriter& report, const TCPObservation& t) {
    report.row("TCP sender report", "run " + t.run.text() + "; session " + t.session.text() +
                                        "; stage " + Format::decimal(t.stage) + "; sender " +
                                        t.sender.text() + "; connection " + t.connection.text() +
                                        "; interface " + cleanPeerText(t.interface) + "/" +
                                        Format::decimal(t.interfaceIndex));
    std::string paths;
    for (const auto& name : t.pathInterfaces) {
        paths += (paths.empty() ? "" : ", ") + cleanPeerText(name);
    }
    report.row("Reported paths", paths);
    report.row("Sender report scope",
               Format::plain(t.duration) +
                   "s; includes warmup, measured load and bounded shutdown tail, not the receiver "
                   "speed window");
    report.row("Transport bytes", "sent " + Format::decimal(t.sent) + "; retransmitted " +
                                      Format::decimal(t.retransmitted));
    report.row("TCP resend overhead", !t.reason && t.sent > 0
                                          ? Format::plain(static_cast<double>(t.retransmitted) *
                                                          100.0 / static_cast<double>(t.sent)) +
                                                "% (byte ratio, not packet loss)"
                                          : "Unavailable");
    report.row("Measured-window resends",
               t.window ? windowResends(report, *t.window) : "Unavailable");
    if (!t.slices.empty()) {
        report.row("Resends by second", resendsBySecond(report, t.slices));
    }
    report.row("Transport RTT estimates",
               "smoothed " + ReportWriter::plainOr(t.smoothedRTT) + "; minimum " +
                   ReportWriter::plainOr(t.minimumRTT) + "; variance " +
                   ReportWriter::plainOr(t.rttVariance) +
                   "; all public TimeInterval seconds, variance not square-rooted");
    report.row("Report validity",
               t.reason ? cleanPeerText(*t.reason) : "Valid selected-interface sender coverage");
}

}  // namespace

void writeDirectionRows(ReportWriter& report, const DirectionMeasurement& direction) {
    report.row("Direction", cleanPeerText(direction.label));
    report.row("Physical sender", direction.sender.text());
    report.row("Measurement", direction.complete ? "Receiver complete" : "Partial");
    if (direction.sample) {
        const SpeedSample& sample = *direction.sample;
        report.row("Received payload", Format::decimal(sample.bytes) + " bytes");
        report.row("Receiver interval", Format::plain(sample.seconds) + " seconds");
        if (const auto rate = sample.bitsPerSecond()) {
            report.row("Average payload rate", Format::plain(*rate) + " bps");
        }
    }
    report.paragraph(cleanPeerText(direction.path) + "\n");
    if (direction.sample && !direction.sample->intervals.empty()) {
        writeSeries(report, *direction.sample);
    }
    if (!direction.transport) {
        report.row("TCP sender report", "Unavailable");
        return;
    }
    writeSenderReport(report, *direction.transport);
}

}  // namespace sorvanta
