// Decodes and validates a test-protocol message from arbitrary bytes. Only ProtocolFailure
// may escape decoding and validation; a message that passes must encode again and decode
// to an equal message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"
#include "protocol/speed_message.h"

using namespace sorvanta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SpeedMessage message;
    try {
        message = decodeRecord<SpeedMessage>(text);
        message.validate(10);
    } catch (const ProtocolFailure&) {
        return 0;
    }
    if (decodeRecord<SpeedMessage>(encodeRecord(message)) != message) {
        std::abort();
    }
    return 0;
}
