#include "assessment/report/connection_details_report.h"

#include "assessment/report/report_rows.h"
#include "assessment/text/peer_text.h"
#include "assessment/verdict/result_assessment.h"
#include "protocol/control_message.h"

namespace sorvanta {
namespace {

using Format = DisplayFormat;
using Style = StyledText::Style;

std::string yesNo(bool value) {
    return value ? "Yes" : "No";
}

template <class Enum>
std::string caseName(Enum value) {
    return std::string(json::enumName(value));
}

void speedAssessment(ReportWriter& r, const ServiceSnapshot& snapshot) {
    const SpeedSnapshot& speed = snapshot.speed;
    const auto& context = snapshot.resultContext;
    const auto verdict = ResultAssessment::shown(
        speed, context ? std::optional(context->run) : std::nullopt, r.format());
    r.heading("Quick Test speed assessment \u00b7 policy " +
              Format::decimal(ConnectionDetailsReport::speedPolicy));
    std::string line = "Previous test";
    if (context && context->peer) {
        line += " \u00b7 " + cleanPeerText(*context->peer);
    }
    line += context && context->observedAt
                ? " \u00b7 " + r.format().abbreviatedDateTime(*context->observedAt)
                : " \u00b7 time unavailable";
    r.paragraph(line + "\n");
    r.row("Outcome", verdict.title);
    if (verdict.performance) {
        r.row("Observed performance", *verdict.performance);
    }
    r.row("Quality policy", Format::decimal(ConnectionDetailsReport::qualityPolicy));
    r.paragraph(verdict.explanation + "\n");
    r.paragraph("Tested with these Macs and adapters. Faster speeds were not established.\n");
    r.paragraph(
        "The link speed and adapters both Macs recorded during this test (below) are part of "
        "this assessment; current adapter readings are not.\n");
}

void connection(ReportWriter& r, const ServiceSnapshot& snapshot, const AppBuild& build) {
    r.heading("Build");
    r.row("Sorvanta", build.version.value_or("Unknown") + " (" + build.build.value_or("Unknown") +
                          ") \u00b7 protocol " + Format::decimal(ControlMessage::protocolVersion));
    r.heading("Connection");
    r.row("State", caseName(snapshot.state));
    r.row("Local Network", caseName(snapshot.permission));
    if (snapshot.activePeerName) {
        r.row("Connected Mac", cleanPeerText(*snapshot.activePeerName));
    }
    r.paragraph(cleanPeerText(snapshot.status));
}

void adapters(ReportWriter& r, const ServiceSnapshot& snapshot) {
    r.heading("Current local Ethernet adapters \u2014 not test-scoped");
    if (snapshot.detectedInterfaces.empty()) {
        r.paragraph("No Ethernet adapter detected.");
        return;
    }
    bool first = true;
    for (const auto& adapter : snapshot.detectedInterfaces) {
        if (!first) {
            r.append(Style::body, "\n\n");
        }
        first = false;
        r.append(Style::adapterTitle, adapter.label + "\n");
        r.row("Interface",
              adapter.identity.name + " \u00b7 index " + Format::decimal(adapter.identity.index));
        r.row("Selected", yesNo(snapshot.selectedIndex == adapter.identity.index));
        r.row("Carrier", !adapter.linkActive   ? "Unavailable"
                         : *adapter.linkActive ? "Active"
                                               : "Inactive");
        r.append(Style::rowLabel, "Link speed  ");
        r.append(Style::body, adapter.linkSpeed
                                  ? r.format().groupedInteger(*adapter.linkSpeed) + " bps"
                                  : "Unavailable");
    }
}

void preparation(ReportWriter& r, const SpeedSnapshot& speed) {
    const PreparationSnapshot& p = speed.preparation;
    r.heading("Connection preparation");
    r.row("Outcome", p.required && !p.bulkStarted && !speed.busy ? "Test not started"
                     : p.complete                                ? "Both independent opens verified"
                                                                 : "Preparation not complete");
    r.row("Local active open verified", yesNo(p.localVerified));
    r.row("Peer active open verified", yesNo(p.peerVerified));
    r.row("Peer confirmed preparation", yesNo(p.peerReady));
    r.row("Bulk ever started", yesNo(p.bulkStarted));
    const std::string peer = cleanPeerText(p.peerName);
    if (p.issue) {
        r.row("Issue", caseName(*p.issue) + "; reported by " + (p.remoteIssue ? peer : "this Mac"));
        r.paragraph(setupIssueMessage(*p.issue, peer, p.remoteIssue) + "\n");
    }
    std::string trace;
    for (const auto& line : p.trace) {
        trace += (trace.empty() ? "" : "\n") + cleanPeerText(line);
    }
    r.paragraph(trace + "\n");
}

void previousResult(ReportWriter& r, const PreviousResult& previous) {
    r.heading("Previous completed test \u2014 separate from this attempt");
    r.row("Peer", previous.context.peer ? cleanPeerText(*previous.context.peer) : "Other Mac");
    r.row("Sequence", previous.context.run.text());
    r.row("Observed", previous.context.observedAt
                          ? r.format().dateTime(*previous.context.observedAt)
                          : "Unavailable");
    for (const auto& stage : previous.speed.stages) {
        r.row("Stage", caseName(stage.mode));
        for (const auto& direction : stage.directions) {
            writeDirectionRows(r, direction);
        }
    }
}

void quickTest(ReportWriter& r, const SpeedSnapshot& speed) {
    r.heading("Quick Test");
    r.row("State", caseName(speed.phase));
    r.row("Finite tests allowed", yesNo(speed.armed));
    if (speed.run) {
        r.row("Sequence", speed.run->text());
    }
    r.row("Profile", caseName(speed.profile));
    r.row("Stage", Format::decimal(speed.stage + 1));
    r.row("Streams", "One per direction; two during concurrent stage");
    r.row("Block size", Format::decimal(ConnectionDetailsReport::transferBlockBytes) +
                            "-byte payload sends; receives of at most " +
                            Format::decimal(ConnectionDetailsReport::transferBlockBytes) +
                            " bytes");
    r.row("Limits", "2s warmup + 10s measurement; 15s bulk/stage; 120s sequence");
    for (const auto& stage : speed.stages) {
        r.heading("Stage " + Format::decimal(stage.index + 1) + " \u2014 " + caseName(stage.mode) +
                  " \u2014 complete");
        r.row("Measurement barrier",
              stage.mode == QuickStage::duplex
                  ? "Both receivers reported warm payload before the measurement barrier; both "
                    "legs remained active until both results arrived."
                  : "Receiver reported warm payload before the measurement barrier.");
        for (const auto& direction : stage.directions) {
            writeDirectionRows(r, direction);
        }
        if (const auto combined = stage.duplexBitsPerSecond()) {
            r.row(
                "Combined traffic in both directions (independent receiver means, not link "
                "speed)",
                Format::plain(*combined) + " bps");
        }
    }
    if (speed.phase != SpeedSnapshot::Phase::complete && speed.run) {
        r.heading("Current stage \u2014 incomplete");
        for (const auto& direction : speed.directions) {
            writeDirectionRows(r, direction);
        }
    }
}

void evidence(ReportWriter& r, const SpeedSnapshot& speed) {
    const QualityEvidence& quality = speed.quality;
    r.heading("Run-scoped Ethernet observations");
    r.paragraph(
        "Interface interval, including other traffic; generic errors/drops are not CRC/FCS or "
        "per-socket counters. Driver snapshots do not observe every possible transition.\n");
    if (quality.ethernet.size() < 2) {
        r.paragraph("Peer hardware observations unavailable or final exchange incomplete.\n");
    }
    for (const auto& record : quality.ethernet) {
        r.paragraph(ConnectionDetailsReport::ethernetSection(record, r.format()) + "\n");
    }
    r.heading("Supporting quality check \u2014 UDP probe");
    r.row("Quality finalization", quality.complete ? "Final evidence exchanged" : "Incomplete");
    r.row("Quality limitation", quality.reason ? cleanPeerText(*quality.reason) : "None recorded");
    for (const auto& leg : quality.udp) {
        writeLegRows(r, leg);
    }
}

std::string singleBreaks(const std::string& text) {
    std::string single;
    for (std::size_t at = 0; at < text.size(); ++at) {
        single += text[at];
        if (text[at] == '\n' && at + 1 < text.size() && text[at + 1] == '\n') {
            ++at;  // each pair once, left to right
        }
    }
    return single;
}

}  // namespace

ConnectionDetailsReport::ConnectionDetailsReport(const ServiceSnapshot& snapshot,
                                                 const AppBuild& build,
                                                 const DisplayFormat& format) {
    ReportWriter r(format);
    const SpeedSnapshot& speed = snapshot.speed;
    const bool preparing = speed.preparation.required && !speed.preparation.bulkStarted;
    if (speed.run && !speed.busy && !preparing) {
        speedAssessment(r, snapshot);
    }
    connection(r, snapshot, build);
    adapters(r, snapshot);
    r.heading("Verification probe");
    r.paragraph(snapshot.probeResult);
    preparation(r, speed);
    if (snapshot.previousResult) {
        previousResult(r, *snapshot.previousResult);
    }
    quickTest(r, speed);
    evidence(r, speed);
    r.paragraph(cleanPeerText(speed.status));
    r.heading("Network diagnostics");
    r.paragraph(singleBreaks(snapshot.diagnostics));
    text_ = r.take();
}

std::string ConnectionDetailsReport::copyText() const {
    return "Sorvanta \u2022 Connection Details\n\n" + plainText();
}

}  // namespace sorvanta
