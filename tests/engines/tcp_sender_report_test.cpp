#include "engines/tcp_sender_report.h"

#include <gtest/gtest.h>

#include <limits>

namespace sorvanta {
namespace {

const NetworkInterface pinned{"veth7", 14, InterfaceType::wiredEthernet};

SpeedPreamble preamble() {
    return {Uuid::random(), Uuid::random(), Uuid::random(), std::vector<std::uint8_t>(32, 7), 2};
}

TransferPathReport path(NetworkInterface interface = pinned, std::uint64_t sent = 5000) {
    return {interface, sent, 100, 0.002, 0.001, 0.0005};
}

TEST(TcpSenderReportTest, FullOnlyForOneCountedPathWithBytesWithinThirtySeconds) {
    const auto p = preamble();
    const auto connection = Uuid::random();
    TcpSenderReport builder(p, connection, pinned.name, pinned.index);
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        const char* name;
        DataTransferReport report;
        bool full;
        double duration;
    } rows[] = {
        {"one counted path", {12.0, {path()}}, true, 12.0},
        {"no path", {12.0, {}}, false, 12.0},
        {"two paths, one pinned", {12.0, {path(), path()}}, false, 12.0},
        {"wifi", {12.0, {path({"veth7", 14, InterfaceType::wifi})}}, false, 12.0},
        {"other index", {12.0, {path({"veth7", 15, InterfaceType::wiredEthernet})}}, false, 12.0},
        {"nothing sent", {12.0, {path(pinned, 0)}}, false, 12.0},
        {"31 s", {31.0, {path()}}, false, 0.0},
        {"zero duration", {0.0, {path()}}, false, 0.0},
        {"infinite duration", {inf, {path()}}, false, 0.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = builder.observation(row.report);
        EXPECT_EQ(r.run, p.run);
        EXPECT_EQ(r.stage, 2);
        EXPECT_EQ(r.connection, connection);
        EXPECT_EQ(r.duration, row.duration);
        EXPECT_EQ(r.pathInterfaces.size(), row.report.pathReports.size());
        EXPECT_EQ(!r.reason, row.full);
        EXPECT_EQ(r.sent, row.full ? 5000u : 0u);
        EXPECT_EQ(r.smoothedRTT.has_value(), row.full);
        if (!row.full) {
            EXPECT_EQ(r.reason, std::string(TcpSenderReport::unusable));
            EXPECT_EQ(r.interface, pinned.name);
            EXPECT_EQ(r.interfaceIndex, pinned.index);
        }
    }
    // A bad round-trip time is left out alone.
    auto odd = path();
    odd.transportSmoothedRTT = -1;
    const auto r = builder.observation({10.0, {odd}});
    EXPECT_FALSE(r.smoothedRTT);
    EXPECT_EQ(r.minimumRTT, 0.001);
    EXPECT_EQ(r.rttVariance, 0.0005);
    EXPECT_EQ(r.pathInterfaces, std::vector<std::string>{"veth7/14:wiredEthernet"});
}

TEST(TcpSenderReportTest, SlicesAreBoundedSortedAndCheckedLikeTheReport) {
    TcpSenderReport builder(preamble(), Uuid::random(), pinned.name, pinned.index);
    EXPECT_EQ(builder.slice({1.0, {path(pinned, 0)}}, 3.0), (TCPSlice{3.0, 1.0, 0, 100}));
    EXPECT_FALSE(builder.slice({1.0, {path()}}, 30.5));
    EXPECT_FALSE(builder.slice({1.0, {path(), path()}}, 1.0));
    EXPECT_FALSE(builder.slice({-1.0, {path()}}, 1.0));

    auto report = builder.observation({12.0, {path()}});
    std::vector<TCPSlice> logged;
    for (int i = 39; i >= 0; --i) {
        logged.push_back({i * 1.0, 1.0, 10, 0});
    }
    TcpSenderReport::complete(report, TCPSlice{2, 10, 1, 0}, logged, TCPSlice{0.5, 1, 5, 0});
    ASSERT_EQ(report.slices.size(), 40u);
    EXPECT_EQ(report.slices[0].start, 0.0);
    EXPECT_EQ(report.slices[1].start, 0.5);
    EXPECT_EQ(report.slices.back().start, 38.0);
    EXPECT_EQ(report.window, (TCPSlice{2, 10, 1, 0}));
}

// The report is checked as the peer will check it; what would fail goes out reason-only.
TEST(TcpSenderReportTest, ReportsThatThePeerWouldRefuseGoOutReasonOnly) {
    const auto p = preamble();
    const NetworkInterface odd{"eth\x01", 3, InterfaceType::wiredEthernet};
    TcpSenderReport builder(p, Uuid::random(), odd.name, odd.index);
    const auto full = builder.observation({12.0, {path(odd)}});
    ASSERT_FALSE(full.reason);
    const auto sent = builder.checkedForPeer(full);
    EXPECT_EQ(sent.reason, std::string(TcpSenderReport::unusable));
    EXPECT_EQ(sent.interface, "");
    EXPECT_EQ(sent.interfaceIndex, 0);
    EXPECT_EQ(sent.duration, 12.0);
    EXPECT_NO_THROW(sent.validate(p.run, p.session, p.sender, p.stage));

    TcpSenderReport good(p, Uuid::random(), pinned.name, pinned.index);
    const auto fine = good.observation({12.0, {path()}});
    EXPECT_EQ(good.checkedForPeer(fine), fine);
    auto tooManyPaths = good.failure(TcpSenderReport::timedOut);
    tooManyPaths.pathInterfaces.assign(9, "x");
    EXPECT_EQ(good.checkedForPeer(tooManyPaths), good.failure(TcpSenderReport::timedOut));
}

}  // namespace
}  // namespace sorvanta
