#include "assessment/report/connection_details_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "assessment/run_fixture.h"

namespace sorvanta {
namespace {

using namespace fixture;
using namespace std::chrono;
using Style = StyledText::Style;

const std::filesystem::path expectedFolder = SORVANTA_EXPECTED_REPORTS;

const DisplayFormat& english() {
    static const DisplayFormat format("en_US", "UTC");
    return format;
}

std::string read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ServiceSnapshot connected(SpeedSnapshot speed) {
    ServiceSnapshot s;
    s.speed = std::move(speed);
    s.state = ConnectionState::ready;
    s.permission = LocalNetworkState::available;
    s.activePeerName = "Mini";
    s.selectedIndex = 2;
    WiredInterface internal;
    internal.identity = {"eth0", 2};
    internal.label = "Ethernet";
    internal.linkSpeed = 1'000'000'000;
    internal.linkActive = true;
    WiredInterface usb;
    usb.identity = {"enx00e04c680001", 5};
    usb.label = "USB 10/100/1G/2.5G LAN";
    usb.linkActive = false;
    s.detectedInterfaces = {internal, usb};
    s.status = "Connected to Mini.";
    s.diagnostics = "Path: eth0 satisfied\n\nPeer: 169.254.0.2\n\n\n\nDirect link: yes";
    s.probeResult = "Probe verified in 1.2 ms.";
    return s;
}

const auto finishedAt = sys_days{December / 7 / 2026} + 13h + 5min;

// The run's context, stamped when it finished.
ServiceSnapshot withContext(ServiceSnapshot s) {
    s.resultContext = ResultContext{run, "Mini", finishedAt};
    return s;
}

// A run that failed in its duplex stage: one Mac's evidence, a receiver-limited first leg
// with its re-run, a histogram without samples and peer texts that try to start new lines.
ServiceSnapshot interruptedRun() {
    SpeedSnapshot speed = completeRun();
    speed.phase = SpeedSnapshot::Phase::failed;
    speed.end = RunEndCause::connection;
    speed.directions = speed.stages[2].directions;
    speed.directions[1].complete = false;
    speed.directions[1].sample->measuring = false;
    speed.directions[1].transport.reset();
    speed.directions[0].sample.reset();
    speed.stages.pop_back();
    speed.quality.ethernet.pop_back();
    speed.quality.ethernet[0].after.reset();
    speed.quality.ethernet[0].links.push_back({60, false, std::nullopt, std::nullopt});
    speed.quality.ethernet[0].coverageReason = "Link sampling gap\nForged line";
    speed.quality.ethernet[0].lowPowerMode.reset();
    speed.quality.ethernet[0].adapter =
        AdapterProfile{std::nullopt, std::nullopt, std::nullopt, 480'000'000};
    UDPObservation& first = speed.quality.udp[0];
    first.unique -= 1000;
    first.queueDelay = UDPQueueDelay{};
    first.receiveCoverage.reset();
    UDPObservation second = first;
    second.attempt = 1;
    second.unique = second.send.accepted;
    second.queueDelay.reset();
    second.reason = "Interrupted probe;\u2028 final range/tail evidence is incomplete.";
    second.receiverPath = "eth0 \u202Eevil\u202C";
    speed.quality.udp = {first, second};
    speed.quality.complete = false;
    speed.quality.reason = "Quality phase ended early.";
    speed.status = "Incomplete. Data connection failed.";
    ServiceSnapshot s = withContext(connected(speed));
    s.previousResult = PreviousResult{completeRun(), ResultContext{run, std::nullopt, finishedAt}};
    s.detectedInterfaces.resize(1);
    return s;
}

TEST(ConnectionDetailsReportTest, WholeReportsReadAsExpected) {
    struct Case {
        const char* file;
        ServiceSnapshot snapshot;
        AppBuild build;
    };
    const Case cases[] = {
        {"idle.txt", ServiceSnapshot{}, {}},
        {"complete_run.txt", withContext(connected(completeRun())), {"1.4", "88"}},
        {"interrupted_run.txt", interruptedRun(), {"1.4", std::nullopt}},
    };
    for (const auto& c : cases) {
        const std::string actual =
            ConnectionDetailsReport(c.snapshot, c.build, english()).copyText();
        if (std::getenv("SORVANTA_WRITE_EXPECTED")) {
            std::ofstream(expectedFolder / c.file, std::ios::binary) << actual;
        }
        EXPECT_EQ(actual, read(expectedFolder / c.file)) << c.file;
    }
}

std::vector<std::string> headings(const ConnectionDetailsReport& report) {
    std::vector<std::string> titles;
    for (const auto& run : report.styledText().runs) {
        if (run.style == Style::heading) {
            titles.push_back(run.text.substr(0, run.text.find(" \u00b7")));
        }
    }
    return titles;
}

TEST(ConnectionDetailsReportTest, SectionsFollowTheRunState) {
    const std::string speedHeading = "Quick Test speed assessment";
    struct Case {
        const char* name;
        std::function<void(ServiceSnapshot&)> change;
        bool assessed;
        bool currentStage;
        const char* outcome;  // the verdict's title when assessed
    };
    const Case cases[] = {
        {"finished run", [](auto&) {}, true, false, "Connection looks healthy in this quick test"},
        {"busy run", [](auto& s) { s.speed.busy = true; }, false, false, ""},
        {"next run before bulk traffic", [](auto& s) { s.speed.preparation.bulkStarted = false; },
         false, false, ""},
        {"cancelled run shows its own verdict",
         [](auto& s) {
             s.speed.phase = SpeedSnapshot::Phase::cancelled;
             s.speed.directions = s.speed.stages[2].directions;
         },
         true, true, "Test cancelled \u2014 no complete assessment"},
        {"context of another run", [](auto& s) { s.resultContext->run = macA; }, true, false,
         "No complete Quick Test assessment"},
    };
    for (const auto& c : cases) {
        ServiceSnapshot s = withContext(connected(completeRun()));
        c.change(s);
        const ConnectionDetailsReport report(s, {}, english());
        const auto titles = headings(report);
        const std::string plain = report.plainText();
        EXPECT_EQ(titles.front() == speedHeading, c.assessed) << c.name;
        EXPECT_EQ(std::count(titles.begin(), titles.end(), "Current stage \u2014 incomplete\n"),
                  c.currentStage ? 1 : 0)
            << c.name;
        if (c.assessed) {
            EXPECT_NE(plain.find(std::string("Outcome  ") + c.outcome + "\n"), std::string::npos)
                << c.name;
        }
    }
}

TEST(ConnectionDetailsReportTest, RunsCarryTheirStyles) {
    const ConnectionDetailsReport report(withContext(connected(completeRun())), {}, english());
    const auto& runs = report.styledText().runs;
    const auto at = [&](std::string_view text) {
        return std::find_if(runs.begin(), runs.end(),
                            [&](const auto& r) { return r.text == text; });
    };
    const auto secondAdapter = at("USB 10/100/1G/2.5G LAN\n");
    ASSERT_NE(secondAdapter, runs.end());
    EXPECT_EQ(secondAdapter->style, Style::adapterTitle);
    EXPECT_EQ(std::prev(secondAdapter)->style, Style::body);
    EXPECT_TRUE(std::prev(secondAdapter)->text.ends_with("1,000,000,000 bps\n\n"));
    EXPECT_EQ(std::next(secondAdapter)->text, "Interface  ");
    EXPECT_EQ(std::next(secondAdapter)->style, Style::rowLabel);
    EXPECT_EQ(at("Build\n")->style, Style::heading);
    EXPECT_EQ(report.copyText().rfind("Sorvanta \u2022 Connection Details\n\n", 0), 0u);
}

TEST(ConnectionDetailsReportTest, EthernetSectionLines) {
    struct Case {
        const char* name;
        std::function<void(EthernetRunEvidence&)> change;
        std::size_t lines;
        std::vector<std::string> contains;
    };
    const Case cases[] = {
        {"usable interval",
         [](auto& e) { e.after->rxErrors = 15; },
         17,
         {"Generic receive errors: 12 \u2192 15; delta 3\n",
          "Counter interval validity: Matching interface; no detected administrative reset or "
          "decreasing counter\n",
          "Adapter: Realtek RTL8156B, up to 2.5 Gbps (known chipset); USB connection 5 Gbps\n",
          "Low Power Mode: off throughout\n",
          "Link 0.5s: carrier active; rate 1000000000 bps; "
          "full-duplex\n",
          "Observed link changes: 0 (no cause inferred)"}},
        {"no link samples",
         [](auto& e) { e.links.clear(); },
         14,
         {"Observed link changes: 0 (no cause inferred)"}},
        {"sample without duplex",
         [](auto& e) {
             e.links = {{2.5, true, 1'000'000'000, std::nullopt}};
         },
         15,
         {"Link 2.5s: carrier active; rate 1000000000 bps\n"}},
        {"adapter outside the chipset table",
         [](auto& e) {
             e.adapter = AdapterProfile{std::nullopt, std::nullopt, std::nullopt, 480'000'000};
             e.lowPowerMode = true;
         },
         17,
         {"Adapter: maximum speed unknown (not in Sorvanta\u2019s verified chipset table); USB "
          "connection 480 Mbps\n",
          "Low Power Mode: on during this test (it can lower speed)\n"}},
    };
    for (const auto& c : cases) {
        EthernetRunEvidence e = evidence(macA);
        c.change(e);
        const std::string section = ConnectionDetailsReport::ethernetSection(e, english());
        EXPECT_EQ(std::count(section.begin(), section.end(), '\n') + 1, static_cast<long>(c.lines))
            << c.name;
        EXPECT_FALSE(section.ends_with("\n")) << c.name;
        for (const auto& part : c.contains) {
            EXPECT_NE((section + "\n").find(part), std::string::npos) << c.name << ": " << part;
        }
    }
}

}  // namespace
}  // namespace sorvanta
