#include "protocol/tcp_observation.h"

#include <cmath>
#include <string_view>

#include "protocol/protocol_failure.h"
#include "protocol/safe_text.h"

namespace sorvanta {
namespace {

void require(bool rule) {
    if (!rule) {
        throw ProtocolFailure::malformed;
    }
}

bool isBoundedSafeText(std::string_view text, std::size_t maximumBytes) {
    return text.size() <= maximumBytes && isSafeText(text);
}

// Within 0 … maximum; NaN fails every comparison, negative zero passes.
bool isWithin(double value, double maximum) {
    return value >= 0 && value <= maximum;
}

bool isFiniteNonNegative(const std::optional<double>& value) {
    return !value || (std::isfinite(*value) && *value >= 0);
}

bool isValidSlice(const TCPSlice& slice) {
    return isWithin(slice.start, TCPObservation::maximumSeconds) &&
           isWithin(slice.duration, TCPObservation::maximumSeconds);
}

// The byte counts are converted before the ratio is formed: a count times 100 could wrap.
double percentOf(std::uint64_t part, std::uint64_t whole) {
    return static_cast<double>(part) * 100.0 / static_cast<double>(whole);
}

bool isResendConcern(std::uint64_t retransmitted, std::uint64_t sent) {
    return retransmitted >= TCPObservation::resendConcernMinimumBytes &&
           percentOf(retransmitted, sent) >= TCPObservation::resendConcernMinimumPercent;
}

}  // namespace

void TCPObservation::validate(const Uuid& expectedRun, const Uuid& expectedSession,
                              const Uuid& expectedSender, std::int64_t expectedStage) const {
    require(run == expectedRun && session == expectedSession && sender == expectedSender &&
            stage == expectedStage);

    require(pathInterfaces.size() <= maximumPathInterfaces);
    for (const auto& name : pathInterfaces) {
        require(isBoundedSafeText(name, maximumInterfaceNameBytes));
    }
    require(isBoundedSafeText(interface, maximumInterfaceNameBytes));
    require(!reason || isBoundedSafeText(*reason, maximumReasonBytes));

    require(isWithin(duration, maximumSeconds));
    require(isFiniteNonNegative(smoothedRTT) && isFiniteNonNegative(minimumRTT) &&
            isFiniteNonNegative(rttVariance));

    if (!reason) {
        require(duration > 0 && sent > 0 && !interface.empty() && interfaceIndex > 0);
    }

    require(slices.size() <= maximumSlices);
    require(!window || isValidSlice(*window));
    for (const auto& slice : slices) {
        require(isValidSlice(slice));
    }
}

std::optional<double> TCPObservation::resendPercent() const {
    if (reason || !std::isfinite(duration) || !(duration > 0) || sent == 0) {
        return std::nullopt;
    }
    return percentOf(retransmitted, sent);
}

bool TCPObservation::hasResendConcern() const {
    if (window && window->sent != 0 && sent >= window->sent &&
        retransmitted >= window->retransmitted) {
        return isResendConcern(window->retransmitted, window->sent);
    }
    if (reason || !std::isfinite(duration) || !(duration > 0) || sent == 0) {
        return false;
    }
    return isResendConcern(retransmitted, sent);
}

TCPObservation TCPObservation::fromJson(const json::ObjectReader& r) {
    return {r.required<Uuid>("run"),
            r.required<Uuid>("session"),
            r.required<Uuid>("sender"),
            r.required<std::int64_t>("stage"),
            r.required<Uuid>("connection"),
            r.required<std::string>("interface"),
            r.required<std::int64_t>("interfaceIndex"),
            r.required<std::vector<std::string>>("pathInterfaces"),
            r.required<double>("duration"),
            r.required<std::uint64_t>("sent"),
            r.required<std::uint64_t>("retransmitted"),
            r.optional<double>("smoothedRTT"),
            r.optional<double>("minimumRTT"),
            r.optional<double>("rttVariance"),
            r.optional<std::string>("reason"),
            r.optional<TCPSlice>("window"),
            r.required<std::vector<TCPSlice>>("slices")};
}

void TCPObservation::toJson(json::ObjectWriter& w) const {
    w.field("run", run);
    w.field("session", session);
    w.field("sender", sender);
    w.field("stage", stage);
    w.field("connection", connection);
    w.field("interface", interface);
    w.field("interfaceIndex", interfaceIndex);
    w.field("pathInterfaces", pathInterfaces);
    w.field("duration", duration);
    w.field("sent", sent);
    w.field("retransmitted", retransmitted);
    w.field("smoothedRTT", smoothedRTT);
    w.field("minimumRTT", minimumRTT);
    w.field("rttVariance", rttVariance);
    w.field("reason", reason);
    w.field("window", window);
    w.field("slices", slices);
}

}  // namespace sorvanta
