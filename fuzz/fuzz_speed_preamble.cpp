// Feeds arbitrary bytes, cut into chunks chosen by the input itself, to a data-connection
// preamble decoder. Any exception other than ProtocolFailure, any read outside a chunk and
// any mismatch that is later forgotten is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "protocol/protocol_failure.h"
#include "protocol/speed_preamble.h"

using namespace sorvanta;

namespace {

const SpeedPreamble& expected() {
    static const SpeedPreamble preamble = [] {
        SpeedPreamble p;
        p.run = *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
        p.session = *Uuid::parse("10203040-5060-7080-90A0-B0C0D0E0F000");
        p.sender = *Uuid::parse("F0E0D0C0-B0A0-9080-7060-504030201000");
        for (std::uint8_t i = 0; i < 32; ++i) {
            p.token.push_back(static_cast<std::uint8_t>(0xA0 + i));
        }
        p.stage = 1;
        return p;
    }();
    return preamble;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    SpeedPreambleDecoder decoder;
    bool refused = false;
    // Each chunk: one byte giving its length (0 to 255, scaled up when the top bit is set so
    // that chunks longer than a preamble occur), then that many bytes.
    while (!input.empty()) {
        std::size_t length = input[0] & 0x7F;
        if (input[0] & 0x80) {
            length *= 64;
        }
        input = input.subspan(1);
        length = std::min(length, input.size());
        // Copy into a buffer of exactly the chunk's size so that reads past it are caught.
        std::vector<std::uint8_t> chunk(input.begin(), input.begin() + static_cast<long>(length));
        input = input.subspan(length);
        bool wasComplete = decoder.complete();
        try {
            auto rest = decoder.consume(chunk, expected());
            if (refused) {
                std::abort();  // a mismatch must be final
            }
            if (!rest.empty() && (rest.data() < chunk.data() ||
                                  rest.data() + rest.size() != chunk.data() + chunk.size())) {
                std::abort();  // what follows the preamble is the end of this chunk
            }
            if (wasComplete && rest.size() != chunk.size()) {
                std::abort();
            }
        } catch (const ProtocolFailure& failure) {
            if (!(failure == ProtocolFailure::identityChanged)) {
                std::abort();  // chunks here are far below the size bound
            }
            refused = true;
        }
    }
    return 0;
}
