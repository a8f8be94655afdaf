#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/data_transfer_report.h"
#include "protocol/speed_preamble.h"
#include "protocol/tcp_observation.h"
#include "support/uuid.h"

namespace sorvanta {

// Builds the TCP sender report of one load connection from the network layer's transfer
// reports. Pure: the engine collects the reports and hands them over.
//
// What the Linux transfer report gives (see data_transfer_report.h): counters read from
// TCP_INFO at the start and at the collect of each interval, on the connection's executor.
//   - sent bytes are tcpi_bytes_sent, which counts retransmitted bytes too (unlike a count of
//     new data only), so `sent` includes `retransmitted`;
//   - retransmitted bytes are tcpi_bytes_retrans;
//   - the round-trip times are the kernel's at the collect: smoothed RTT (tcpi_rtt), its
//     mean deviation as the variance field (tcpi_rttvar) and the kernel's own windowed
//     minimum RTT (tcpi_min_rtt), not a minimum over the interval;
//   - there is at most one path report: the interface the connection's path uses (else the
//     pinned one), and none when the socket was gone or unconnected at either reading.
class TcpSenderReport {
  public:
    static constexpr const char* endedBeforeCollection =
        "Load connection ended before report collection.";
    static constexpr const char* notStarted = "Transfer report was not started.";
    static constexpr const char* timedOut = "Transfer report timed out.";
    static constexpr const char* collectionCancelled = "Collection cancelled.";
    static constexpr const char* unusable =
        "Missing/zero sender counters or unexpected interface paths.";

    // `preamble` gives the run, session, sender and stage; `connection` identifies the
    // connection; the pinned interface is the one whose path counts.
    TcpSenderReport(const SpeedPreamble& preamble, const Uuid& connection, std::string pinnedName,
                    int pinnedIndex);

    // Identity, the pinned interface, zero counters and the reason.
    TCPObservation failure(std::string reason) const;

    // The whole-connection report: full when exactly one path report exists, it counts, the
    // duration lies in (0, 30] s and bytes were sent; otherwise the unusable form.
    TCPObservation observation(const DataTransferReport& report) const;

    // A slice of the interval that began `start` seconds after the connection became ready;
    // none unless the report's one path counts and the duration and start lie in 0 … 30 s.
    std::optional<TCPSlice> slice(const DataTransferReport& report, double start) const;

    // Adds the measurement window and the slices (those logged during the stage, then the
    // last one), sorted by start and cut to 40.
    static void complete(TCPObservation& report, std::optional<TCPSlice> window,
                         const std::vector<TCPSlice>& logged, std::optional<TCPSlice> last);

    // The report as it may leave this Mac: unchanged when it passes the check the peer
    // applies; otherwise the reason-only form (the report's own reason, or the unusable
    // reason for a report that had none; the interface name dropped when it is the cause).
    TCPObservation checkedForPeer(TCPObservation report) const;

    // "en7/14:wiredEthernet": the interface's name, index and type of one path report.
    static std::string pathDescription(const TransferPathReport& path);

  private:
    // The one path report that counts, when the report has exactly one and it does.
    const TransferPathReport* countedPath(const DataTransferReport& report) const;

    SpeedPreamble preamble_;
    Uuid connection_;
    std::string pinnedName_;
    int pinnedIndex_;
};

}  // namespace sorvanta
