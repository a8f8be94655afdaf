#include "protocol/speed_message.h"

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"
#include "protocol/safe_text.h"

namespace sorvanta {

namespace {

using Kind = SpeedMessage::Kind;

void require(bool condition) {
    if (!condition) {
        throw ProtocolFailure::malformed;
    }
}

// Present exactly when the kind calls for it.
template <class T>
void presentExactlyFor(bool wanted, const std::optional<T>& field) {
    require(field.has_value() == wanted);
}

bool isSafeBoundedText(const std::string& text) {
    return text.size() <= SpeedMessage::maximumTextBytes && isSafeText(text);
}

bool isCheckKind(Kind kind) {
    return kind == Kind::checkPrepare || kind == Kind::checkReady || kind == Kind::checkStart ||
           kind == Kind::checkWaiting || kind == Kind::checkFailed;
}

void validateEthernet(const SpeedMessage& m) {
    const auto& evidence = *m.ethernet;
    require(m.kind == Kind::qualityFinish || m.kind == Kind::qualityAck);
    require(m.profile == QuickProfile::quick);
    require(m.stage == SpeedMessage::evidenceStage);
    require(evidence.after.has_value());
    evidence.validate(m.run, evidence.session, evidence.participant);
    SpeedMessage::checkEvidenceLength(encodeRecord(evidence).size());
}

// Which parts of the UDP control record each UDP kind must and must not carry, tested in
// the listed order.
void validateUDPParts(Kind kind, const UDPControl& udp) {
    const bool port = udp.port.has_value();
    const bool token = udp.token.has_value();
    const bool progress = udp.progress.has_value();
    const bool send = udp.send.has_value();
    const bool result = udp.result.has_value();
    const bool path = udp.path.has_value();
    switch (kind) {
        case Kind::udpPrepare:
            require(port && token && !progress && !send && !result && !path);
            return;
        case Kind::udpReady:
            require(path && !port && !token && !progress && !send && !result);
            return;
        case Kind::udpProgress:
            require(progress && !port && !token && !send && !result && !path);
            return;
        case Kind::udpSent:
            require(send && path && !port && !token && !progress && !result);
            return;
        case Kind::udpResult:
            require(result && !port && !token && !progress && !send && !path);
            return;
        case Kind::udpAck:
            require(!port && !token && !progress && !send && !result && !path);
            return;
        default:
            require(false);
    }
}

}  // namespace

void SpeedMessage::checkEvidenceLength(std::size_t bytes) {
    if (bytes > maximumEvidenceBytes) {
        throw ProtocolFailure::invalidLength;
    }
}

void SpeedMessage::validate(double minimumSeconds) const {
    // 1–4: the run's fixed shape.
    require(isValidStage(profile, stage));
    require(streams == fixedStreams);
    require(warmupMilliseconds == fixedWarmupMilliseconds);
    require(measurementMilliseconds == fixedMeasurementMilliseconds);
    // 5–6: check kinds.
    presentExactlyFor(kind == Kind::checkWaiting || kind == Kind::checkFailed, issue);
    if (isCheckKind(kind)) {
        require(stage == 0);
    }
    // 7–8: payload records.
    presentExactlyFor(kind == Kind::tcpReport, transport);
    presentExactlyFor(isUDP(kind), udp);
    // 9: free text of the quality phase.
    if (qualityReason) {
        require(isSafeBoundedText(*qualityReason));
        require(kind == Kind::qualityUnavailable || kind == Kind::qualityFinish);
    }
    // 10–11: the end of a run.
    presentExactlyFor(kind == Kind::cancel, end);
    if (endDetail) {
        require(kind == Kind::cancel);
        require(isSafeBoundedText(*endDetail));
    }
    // 12: Ethernet evidence, re-encoded only after every cheaper check passed.
    if (ethernet) {
        validateEthernet(*this);
    }
    // 13: the UDP control record.
    if (udp) {
        udp->validate();
        validateUDPParts(kind, *udp);
    }
    // 14: message-level port, token and sample.
    switch (kind) {
        case Kind::checkPrepare:
        case Kind::prepare:
            require(port && *port != 0);
            require(token && token->size() == tokenBytes);
            require(!sample);
            break;
        case Kind::progress:
        case Kind::result:
            require(!port);
            require(!token);
            require(sample.has_value());
            sample->validate(kind == Kind::result, minimumSeconds);
            break;
        default:
            require(!port && !token && !sample);
            break;
    }
}

SpeedMessage SpeedMessage::fromJson(const json::ObjectReader& r) {
    return readFields<SpeedMessage>(r);
}

void SpeedMessage::toJson(json::ObjectWriter& w) const {
    writeFields(*this, w);
}

}  // namespace sorvanta
