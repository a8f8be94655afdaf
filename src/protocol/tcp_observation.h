#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/tcp_slice.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// What the sending side's TCP stack saw on one load connection of a stage. Travels to the
// peer in a TCP report and is checked with `validate` by every side that merges it.
struct TCPObservation {
    // Limits of a received report.
    static constexpr std::size_t maximumPathInterfaces = 8;
    static constexpr std::size_t maximumInterfaceNameBytes = 128;
    static constexpr std::size_t maximumReasonBytes = 256;
    static constexpr std::size_t maximumSlices = 40;
    // Report durations and slice times lie within 0 … this many seconds.
    static constexpr double maximumSeconds = 30.0;

    // A resend concern needs at least this many retransmitted bytes and at least this
    // share of the bytes sent, in percent.
    static constexpr std::uint64_t resendConcernMinimumBytes = 4096;
    static constexpr double resendConcernMinimumPercent = 0.1;

    Uuid run;
    Uuid session;
    Uuid sender;
    std::int64_t stage = 0;
    Uuid connection;
    std::string interface;
    std::int64_t interfaceIndex = 0;
    std::vector<std::string> pathInterfaces;
    double duration = 0;
    std::uint64_t sent = 0;
    std::uint64_t retransmitted = 0;
    std::optional<double> smoothedRTT;
    std::optional<double> minimumRTT;
    std::optional<double> rttVariance;
    // Why the counters are not usable; absent when they are.
    std::optional<std::string> reason;
    // Counters of the measurement window.
    std::optional<TCPSlice> window;
    // Consecutive slices of about one second, in time order.
    std::vector<TCPSlice> slices;

    bool operator==(const TCPObservation&) const = default;

    // Throws ProtocolFailure::malformed at the first rule the report breaks. A report with a
    // reason may carry zero counters, an empty interface name and index 0.
    void validate(const Uuid& expectedRun, const Uuid& expectedSession, const Uuid& expectedSender,
                  std::int64_t expectedStage) const;

    // Retransmitted share of the bytes sent over the whole report, in percent; absent for a
    // report with a reason, without a positive finite duration or without bytes sent.
    std::optional<double> resendPercent() const;

    // Whether resends on this connection are worth reporting: judged on the measurement
    // window when it is consistent with the whole report, otherwise on the whole report.
    bool hasResendConcern() const;

    static TCPObservation fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
