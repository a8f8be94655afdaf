#pragma once

#include <string>
#include <string_view>

#include "protocol/protocol_failure.h"
#include "support/json_codec.h"

namespace sorvanta {

// Decodes a record received from the peer. Any decoding problem — bad JSON, a missing or
// ill-typed field, too deep a nesting — is `ProtocolFailure::malformed`.
template <class T>
T decodeRecord(std::string_view text) {
    try {
        return json::decode<T>(text);
    } catch (const json::DecodeError&) {
        throw ProtocolFailure::malformed;
    }
}

template <class T>
T decodeRecordValue(const json::Value& value) {
    try {
        return json::Codec<T>::decode(value);
    } catch (const json::DecodeError&) {
        throw ProtocolFailure::malformed;
    }
}

// Encodes one of our own records. A value that cannot be written (a non-finite number)
// throws json::EncodeError: it is our fault, never the peer's, and never silently dropped.
template <class T>
std::string encodeRecord(const T& value) {
    return json::encode(value);
}

}  // namespace sorvanta
