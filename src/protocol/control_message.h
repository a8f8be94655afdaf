#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/adapter_profile.h"
#include "protocol/record_fields.h"
#include "protocol/speed_message.h"
#include "support/json_bytes.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// The one record carried by a control-connection frame. Each kind uses only some of the
// optional fields; `validate` enforces exactly which, and their limits.
struct ControlMessage {
    enum class Kind { hello, helloAck, probe, probeAck, error, speed, power };

    static constexpr std::int64_t protocolVersion = 9;
    static constexpr std::size_t maximumNameBytes = 128;
    static constexpr std::size_t maximumReasonBytes = 128;
    static constexpr std::size_t maximumPayloadBytes = 4096;
    static constexpr std::size_t digestCharacters = 64;
    // Received test messages must cover at least this many seconds when final.
    static constexpr double minimumSampleSeconds = 10;

    std::int64_t version = protocolVersion;
    Kind kind = Kind::hello;
    Uuid session;
    Uuid instance;
    std::optional<std::string> name;
    std::optional<Uuid> nonce;
    std::optional<std::vector<std::uint8_t>> payload;
    std::optional<std::int64_t> length;
    // Lowercase hexadecimal SHA-256 of the acknowledged payload.
    std::optional<std::string> digest;
    std::optional<std::string> reason;
    std::optional<SpeedMessage> speed;
    std::optional<AdapterProfile> adapter;
    std::optional<bool> lowPower;

    bool operator==(const ControlMessage&) const = default;

    // Throws ProtocolFailure at the first breach: incompatible for another version,
    // identityChanged when carried Ethernet evidence names another session, the nested
    // validators' failures unchanged, malformed otherwise.
    void validate() const;

    // The fields as they travel, in the order they are read.
    static constexpr auto fields() {
        return std::tuple{recordField("version", &ControlMessage::version),
                          recordField("kind", &ControlMessage::kind),
                          recordField("session", &ControlMessage::session),
                          recordField("instance", &ControlMessage::instance),
                          recordField("name", &ControlMessage::name),
                          recordField("nonce", &ControlMessage::nonce),
                          recordField("payload", &ControlMessage::payload),
                          recordField("length", &ControlMessage::length),
                          recordField("digest", &ControlMessage::digest),
                          recordField("reason", &ControlMessage::reason),
                          recordField("speed", &ControlMessage::speed),
                          recordField("adapter", &ControlMessage::adapter),
                          recordField("lowPower", &ControlMessage::lowPower)};
    }
    static ControlMessage fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

template <>
struct json::EnumNames<ControlMessage::Kind> {
    static constexpr std::array<std::string_view, 7> names{"hello", "helloAck", "probe", "probeAck",
                                                           "error", "speed",    "power"};
};

}  // namespace sorvanta
