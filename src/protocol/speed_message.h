#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ethernet_run_evidence.h"
#include "protocol/quick_profile.h"
#include "protocol/record_fields.h"
#include "protocol/run_end_cause.h"
#include "protocol/setup_issue.h"
#include "protocol/speed_sample.h"
#include "protocol/tcp_observation.h"
#include "protocol/udp_control.h"
#include "support/json_bytes.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// One message of the test protocol. Eight fields describe the run and its fixed timing;
// the optional ones carry the payload of the kinds that need one. Nothing in a received
// message is trusted before `validate` has passed.
struct SpeedMessage {
    // The order is part of the protocol: the ordinal of a kind is its position here.
    enum class Kind {
        tcpReport,
        reportsReady,
        stageClosed,
        qualityStart,
        qualityNext,
        qualityRetry,
        qualityUnavailable,
        udpPrepare,
        udpReady,
        udpProgress,
        udpSent,
        udpResult,
        udpAck,
        qualityFinish,
        qualityAck,
        qualityCommit,
        checkPrepare,
        checkReady,
        checkStart,
        checkWaiting,
        checkFailed,
        request,
        accept,
        reject,
        prepare,
        start,
        progress,
        cancel,
        result,
        resultAck,
        warmed,
        measure,
        finish,
        advance,
    };

    // The fixed shape of every run.
    static constexpr std::int64_t fixedStreams = 1;
    static constexpr std::int64_t fixedWarmupMilliseconds = 2000;
    static constexpr std::int64_t fixedMeasurementMilliseconds = 10000;
    static constexpr std::size_t tokenBytes = 32;
    static constexpr std::size_t maximumTextBytes = 256;
    // Largest accepted JSON form of carried Ethernet evidence, in bytes.
    static constexpr std::size_t maximumEvidenceBytes = 24576;
    // The stage that carries Ethernet evidence: the last one (duplex) of a quick run.
    static constexpr std::int64_t evidenceStage = 2;

    Kind kind = Kind::request;
    Uuid run;
    // The run initiator's instance identifier, in every message of the run.
    Uuid sender;
    QuickProfile profile = QuickProfile::quick;
    std::int64_t stage = 0;
    std::int64_t streams = fixedStreams;
    std::int64_t warmupMilliseconds = fixedWarmupMilliseconds;
    std::int64_t measurementMilliseconds = fixedMeasurementMilliseconds;
    std::optional<std::uint16_t> port;
    std::optional<std::vector<std::uint8_t>> token;
    std::optional<SpeedSample> sample;
    std::optional<SetupIssue> issue;
    std::optional<TCPObservation> transport;
    std::optional<UDPControl> udp;
    std::optional<std::string> qualityReason;
    std::optional<EthernetRunEvidence> ethernet;
    std::optional<RunEndCause> end;
    // The status text of the ending without its leading "Incomplete. "
    // (`withoutIncompletePrefix`).
    std::optional<std::string> endDetail;

    bool operator==(const SpeedMessage&) const = default;

    // Checks a received message, rule by rule, stopping at the first breach: nearly always
    // ProtocolFailure::malformed; invalidLength when carried evidence is too large once
    // encoded. Failures of nested validators pass through unchanged, and so does an
    // encoding error (json::EncodeError) of the evidence.
    void validate(double minimumSeconds) const;

    // Throws ProtocolFailure::invalidLength when evidence encoded to `bytes` bytes is too
    // large to carry.
    static void checkEvidenceLength(std::size_t bytes);

    // The fields as they travel, in the order they are read.
    static constexpr auto fields() {
        return std::tuple{
            recordField("kind", &SpeedMessage::kind),
            recordField("run", &SpeedMessage::run),
            recordField("sender", &SpeedMessage::sender),
            recordField("profile", &SpeedMessage::profile),
            recordField("stage", &SpeedMessage::stage),
            recordField("streams", &SpeedMessage::streams),
            recordField("warmupMilliseconds", &SpeedMessage::warmupMilliseconds),
            recordField("measurementMilliseconds", &SpeedMessage::measurementMilliseconds),
            recordField("port", &SpeedMessage::port),
            recordField("token", &SpeedMessage::token),
            recordField("sample", &SpeedMessage::sample),
            recordField("issue", &SpeedMessage::issue),
            recordField("transport", &SpeedMessage::transport),
            recordField("udp", &SpeedMessage::udp),
            recordField("qualityReason", &SpeedMessage::qualityReason),
            recordField("ethernet", &SpeedMessage::ethernet),
            recordField("end", &SpeedMessage::end),
            recordField("endDetail", &SpeedMessage::endDetail)};
    }
    static SpeedMessage fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

// True for the six kinds that carry a UDP control record (udpPrepare … udpAck).
constexpr bool isUDP(SpeedMessage::Kind kind) {
    return kind >= SpeedMessage::Kind::udpPrepare && kind <= SpeedMessage::Kind::udpAck;
}

template <>
struct json::EnumNames<SpeedMessage::Kind> {
    static constexpr std::array<std::string_view, 34> names{"tcpReport",
                                                            "reportsReady",
                                                            "stageClosed",
                                                            "qualityStart",
                                                            "qualityNext",
                                                            "qualityRetry",
                                                            "qualityUnavailable",
                                                            "udpPrepare",
                                                            "udpReady",
                                                            "udpProgress",
                                                            "udpSent",
                                                            "udpResult",
                                                            "udpAck",
                                                            "qualityFinish",
                                                            "qualityAck",
                                                            "qualityCommit",
                                                            "checkPrepare",
                                                            "checkReady",
                                                            "checkStart",
                                                            "checkWaiting",
                                                            "checkFailed",
                                                            "request",
                                                            "accept",
                                                            "reject",
                                                            "prepare",
                                                            "start",
                                                            "progress",
                                                            "cancel",
                                                            "result",
                                                            "resultAck",
                                                            "warmed",
                                                            "measure",
                                                            "finish",
                                                            "advance"};
};

}  // namespace sorvanta
