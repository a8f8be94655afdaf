#include "protocol/protocol_failure.h"

namespace sorvanta {

namespace {

constexpr const char* names[] = {
    "invalidLength",     "malformed",       "incompatible", "selfConnection",
    "unexpectedMessage", "identityChanged", "badProbe",
};

constexpr const char* descriptions[] = {
    "The peer sent an invalid control message (invalidLength).",
    "The peer sent an invalid control message (malformed).",
    "Open the same Sorvanta version on both Macs.",
    "Ignored a connection to this Sorvanta instance.",
    "The peer sent an invalid control message (unexpectedMessage).",
    "The peer sent an invalid control message (identityChanged).",
    "The probe acknowledgment did not match.",
};

}  // namespace

const char* ProtocolFailure::name() const noexcept {
    return names[static_cast<int>(case_)];
}

std::string ProtocolFailure::errorDescription() const {
    return descriptions[static_cast<int>(case_)];
}

const char* ProtocolFailure::what() const noexcept {
    return descriptions[static_cast<int>(case_)];
}

}  // namespace sorvanta
