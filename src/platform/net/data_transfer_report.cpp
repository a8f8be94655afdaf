#include "platform/net/data_transfer_report.h"

#include <asio/post.hpp>

#include "platform/net/socket_tcp_connection.h"

namespace sorvanta {

DataTransferReport makeTransferReport(std::chrono::steady_clock::time_point start,
                                      std::chrono::steady_clock::time_point end,
                                      const std::optional<TransferCounters>& first,
                                      const std::optional<TransferCounters>& last,
                                      const std::optional<NetworkInterface>& interface) {
    DataTransferReport report;
    report.duration = std::chrono::duration<double>(end - start).count();
    if (!first || !last || !interface) {
        return report;
    }
    TransferPathReport path;
    path.interface = *interface;
    // The kernel counters only grow; guard anyway so a bad reading cannot wrap around.
    path.sentTransportByteCount =
        last->sentBytes >= first->sentBytes ? last->sentBytes - first->sentBytes : 0;
    path.retransmittedTransportByteCount =
        last->retransmittedBytes >= first->retransmittedBytes
            ? last->retransmittedBytes - first->retransmittedBytes
            : 0;
    path.transportSmoothedRTT = last->smoothedRtt;
    path.transportMinimumRTT = last->minimumRtt;
    path.transportRTTVariance = last->rttVariance;
    report.pathReports.push_back(path);
    return report;
}

void PendingTransferReport::collect(
    std::function<void(const DataTransferReport&)> completion) const {
    if (!executor_) {
        return;
    }
    asio::post(executor_, [connection = connection_, start = start_, first = startCounters_,
                           completion = std::move(completion)] {
        const auto end = std::chrono::steady_clock::now();
        std::optional<TransferCounters> last;
        std::optional<NetworkInterface> interface;
        if (auto self = connection.lock()) {
            last = self->readTransferCounters();
            interface = self->pathInterface();
        }
        if (completion) {
            completion(makeTransferReport(start, end, first, last, interface));
        }
    });
}

}  // namespace sorvanta
