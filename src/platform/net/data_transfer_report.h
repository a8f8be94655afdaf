#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/net/network_executor.h"
#include "platform/net/network_interface.h"

namespace sorvanta {

class TcpConnection;

// TCP_INFO counters at one instant.
struct TransferCounters {
    std::chrono::steady_clock::time_point at;
    std::uint64_t sentBytes = 0;  // including retransmissions
    std::uint64_t retransmittedBytes = 0;
    double smoothedRtt = 0;  // seconds
    double minimumRtt = 0;   // seconds
    double rttVariance = 0;  // seconds (mean deviation)
};

// What one interface carried for a connection during a report's interval.
struct TransferPathReport {
    NetworkInterface interface;
    std::uint64_t sentTransportByteCount = 0;
    std::uint64_t retransmittedTransportByteCount = 0;
    double transportSmoothedRTT = 0;  // seconds, at the end of the interval
    double transportMinimumRTT = 0;
    double transportRTTVariance = 0;
};

// The counters of a connection between a start and a collect. No path report when the
// connection was gone or unconnected at either end of the interval.
struct DataTransferReport {
    double duration = 0;  // seconds
    std::vector<TransferPathReport> pathReports;
};

// An interval started on a connection, collected once.
class PendingTransferReport {
  public:
    PendingTransferReport() = default;

    // Reads the counters now and calls `completion` with the interval's report on the
    // connection's executor. Always completes, also when the connection has gone.
    void collect(std::function<void(const DataTransferReport&)> completion) const;

    bool valid() const { return static_cast<bool>(executor_); }

    // An interval on `connection` that began at `start` with `counters` (made by the
    // connection's startDataTransferReport()).
    PendingTransferReport(std::weak_ptr<TcpConnection> connection, NetworkExecutor executor,
                          std::chrono::steady_clock::time_point start,
                          std::optional<TransferCounters> counters)
        : connection_(std::move(connection)),
          executor_(std::move(executor)),
          start_(start),
          startCounters_(counters) {}

  private:
    std::weak_ptr<TcpConnection> connection_;
    NetworkExecutor executor_;
    std::chrono::steady_clock::time_point start_;
    std::optional<TransferCounters> startCounters_;
};

// The report of an interval from its two readings (pure; for tests of the arithmetic).
DataTransferReport makeTransferReport(std::chrono::steady_clock::time_point start,
                                      std::chrono::steady_clock::time_point end,
                                      const std::optional<TransferCounters>& first,
                                      const std::optional<TransferCounters>& last,
                                      const std::optional<NetworkInterface>& interface);

}  // namespace sorvanta
