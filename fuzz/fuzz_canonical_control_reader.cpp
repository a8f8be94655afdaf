// Reads arbitrary bytes with the quick reader of the frequent control messages and with the
// strict decoder: whenever the quick reader answers, the strict decoder must accept the same
// bytes and give the same message, down to its written form. Whatever the strict decoder
// accepts, the quick writer must write exactly as the strict encoder does, or leave it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/canonical_control_reader.h"
#include "protocol/canonical_control_writer.h"
#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

using namespace sorvanta;

namespace {

std::string written(const ControlMessage& message) {
    try {
        return encodeRecord(message);
    } catch (const json::EncodeError&) {
        return "(a value that cannot be written)";
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto quick = readCanonicalControl(text);
    ControlMessage strict;
    try {
        strict = decodeRecord<ControlMessage>(text);
    } catch (const ProtocolFailure&) {
        if (quick) {
            std::abort();  // the quick reader accepted what the strict decoder refuses
        }
        return 0;
    }
    if (quick && (strict != *quick || written(strict) != written(*quick))) {
        std::abort();
    }
    const auto quickText = writeCanonicalControl(strict);
    if (quickText && *quickText != written(strict)) {
        std::abort();
    }
    return 0;
}
