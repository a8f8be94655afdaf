#include "engines/tcp_sender_report.h"

#include <algorithm>
#include <cmath>

#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

bool isReportSpan(double seconds) {
    return std::isfinite(seconds) && seconds >= 0 && seconds <= TCPObservation::maximumSeconds;
}

std::optional<double> nonNegative(double seconds) {
    if (std::isfinite(seconds) && seconds >= 0) {
        return seconds;
    }
    return std::nullopt;
}

}  // namespace

TcpSenderReport::TcpSenderReport(const SpeedPreamble& preamble, const Uuid& connection,
                                 std::string pinnedName, int pinnedIndex)
    : preamble_(preamble),
      connection_(connection),
      pinnedName_(std::move(pinnedName)),
      pinnedIndex_(pinnedIndex) {}

TCPObservation TcpSenderReport::failure(std::string reason) const {
    TCPObservation report;
    report.run = preamble_.run;
    report.session = preamble_.session;
    report.sender = preamble_.sender;
    report.stage = preamble_.stage;
    report.connection = connection_;
    report.interface = pinnedName_;
    report.interfaceIndex = pinnedIndex_;
    report.reason = std::move(reason);
    return report;
}

const TransferPathReport* TcpSenderReport::countedPath(const DataTransferReport& report) const {
    if (report.pathReports.size() != 1) {
        return nullptr;
    }
    const auto& path = report.pathReports.front();
    const bool counts = path.interface.name == pinnedName_ &&
                        path.interface.index == pinnedIndex_ &&
                        path.interface.type == InterfaceType::wiredEthernet;
    return counts ? &path : nullptr;
}

TCPObservation TcpSenderReport::observation(const DataTransferReport& report) const {
    auto result = failure(unusable);
    for (std::size_t i = 0;
         i < report.pathReports.size() && i < TCPObservation::maximumPathInterfaces; ++i) {
        result.pathInterfaces.push_back(pathDescription(report.pathReports[i]));
    }
    const auto* path = countedPath(report);
    const bool full = path != nullptr && std::isfinite(report.duration) && report.duration > 0 &&
                      report.duration <= TCPObservation::maximumSeconds &&
                      path->sentTransportByteCount != 0;
    if (!full) {
        result.duration = isReportSpan(report.duration) ? report.duration : 0;
        return result;
    }
    result.duration = report.duration;
    result.interface = path->interface.name;
    result.interfaceIndex = path->interface.index;
    result.sent = path->sentTransportByteCount;
    result.retransmitted = path->retransmittedTransportByteCount;
    result.smoothedRTT = nonNegative(path->transportSmoothedRTT);
    result.minimumRTT = nonNegative(path->transportMinimumRTT);
    result.rttVariance = nonNegative(path->transportRTTVariance);
    result.reason.reset();
    return result;
}

std::optional<TCPSlice> TcpSenderReport::slice(const DataTransferReport& report,
                                               double start) const {
    const auto* path = countedPath(report);
    if (path == nullptr || !isReportSpan(report.duration) || !isReportSpan(start)) {
        return std::nullopt;
    }
    return TCPSlice{start, report.duration, path->sentTransportByteCount,
                    path->retransmittedTransportByteCount};
}

void TcpSenderReport::complete(TCPObservation& report, std::optional<TCPSlice> window,
                               const std::vector<TCPSlice>& logged, std::optional<TCPSlice> last) {
    report.window = window;
    report.slices = logged;
    if (last) {
        report.slices.push_back(*last);
    }
    std::stable_sort(report.slices.begin(), report.slices.end(),
                     [](const TCPSlice& a, const TCPSlice& b) { return a.start < b.start; });
    if (report.slices.size() > TCPObservation::maximumSlices) {
        report.slices.resize(TCPObservation::maximumSlices);
    }
}

TCPObservation TcpSenderReport::checkedForPeer(TCPObservation report) const {
    auto passes = [this](const TCPObservation& r) {
        try {
            r.validate(preamble_.run, preamble_.session, preamble_.sender, preamble_.stage);
            return true;
        } catch (const ProtocolFailure&) {
            return false;
        }
    };
    if (passes(report)) {
        return report;
    }
    auto reduced = failure(report.reason.value_or(unusable));
    reduced.duration = isReportSpan(report.duration) ? report.duration : 0;
    if (!passes(reduced)) {
        // Only the interface name can still be at fault.
        reduced.interface.clear();
        reduced.interfaceIndex = 0;
    }
    return reduced;
}

std::string TcpSenderReport::pathDescription(const TransferPathReport& path) {
    return path.interface.name + "/" + std::to_string(path.interface.index) + ":" +
           std::string(interfaceTypeName(path.interface.type));
}

}  // namespace sorvanta
