#include "protocol/control_message.h"

#include <algorithm>

#include "protocol/protocol_failure.h"
#include "protocol/safe_text.h"

namespace sorvanta {

namespace {

using Kind = ControlMessage::Kind;

void require(bool condition) {
    if (!condition) {
        throw ProtocolFailure::malformed;
    }
}

bool isLowercaseHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The optional text and probe fields; each kind allows only its own and refuses the rest.
enum Field : unsigned {
    nameField = 1u << 0,
    nonceField = 1u << 1,
    payloadField = 1u << 2,
    lengthField = 1u << 3,
    digestField = 1u << 4,
    reasonField = 1u << 5,
};

void requireOnly(const ControlMessage& m, unsigned allowed) {
    const unsigned present = (m.name ? nameField : 0u) | (m.nonce ? nonceField : 0u) |
                             (m.payload ? payloadField : 0u) | (m.length ? lengthField : 0u) |
                             (m.digest ? digestField : 0u) | (m.reason ? reasonField : 0u);
    require((present & ~allowed) == 0);
}

}  // namespace

void ControlMessage::validate() const {
    if (version != protocolVersion) {
        throw ProtocolFailure::incompatible;
    }
    require(kind == Kind::speed || !speed);
    require(kind == Kind::hello || kind == Kind::helloAck || !adapter);
    require(kind == Kind::hello || kind == Kind::helloAck || kind == Kind::power || !lowPower);
    if (adapter) {
        adapter->validate();
    }
    switch (kind) {
        case Kind::hello:
        case Kind::helloAck:
            require(name && !name->empty() && name->size() <= maximumNameBytes &&
                    isSafeText(*name));
            requireOnly(*this, nameField);
            return;
        case Kind::probe:
            require(nonce.has_value());
            require(payload && !payload->empty() && payload->size() <= maximumPayloadBytes);
            requireOnly(*this, nonceField | payloadField);
            return;
        case Kind::probeAck:
            require(nonce.has_value());
            require(length && *length >= 1 &&
                    *length <= static_cast<std::int64_t>(maximumPayloadBytes));
            require(digest && digest->size() == digestCharacters && isLowercaseHex(*digest));
            requireOnly(*this, nonceField | lengthField | digestField);
            return;
        case Kind::error:
            require(reason && !reason->empty() && reason->size() <= maximumReasonBytes);
            requireOnly(*this, reasonField);
            return;
        case Kind::speed:
            require(speed.has_value());
            requireOnly(*this, 0u);
            speed->validate(minimumSampleSeconds);
            if (speed->ethernet && speed->ethernet->session != session) {
                throw ProtocolFailure::identityChanged;
            }
            return;
        case Kind::power:
            require(lowPower.has_value());
            requireOnly(*this, 0u);
            return;
    }
    require(false);
}

ControlMessage ControlMessage::fromJson(const json::ObjectReader& r) {
    return readFields<ControlMessage>(r);
}

void ControlMessage::toJson(json::ObjectWriter& w) const {
    writeFields(*this, w);
}

}  // namespace sorvanta
