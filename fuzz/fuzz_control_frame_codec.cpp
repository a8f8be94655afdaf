// Feeds arbitrary bytes, cut into chunks chosen by the input itself, to a control frame codec.
// Only ProtocolFailure may escape append/finish; every message that comes out must frame
// again and read back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "protocol/control_frame_codec.h"
#include "protocol/control_message.h"
#include "protocol/protocol_failure.h"

using namespace sorvanta;

namespace {

void checkRoundTrip(const ControlMessage& message) {
    auto frame = ControlFrameCodec::encode(message);
    ControlFrameCodec fresh;
    auto again = fresh.append(frame);
    if (again.size() != 1 || !(again.front() == message) || fresh.hasPendingData()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    ControlFrameCodec codec;
    try {
        // Each chunk: two bytes of length (little-endian), then that many bytes (fewer at the
        // end of the input).
        while (input.size() >= 2) {
            std::size_t length = input[0] | (std::size_t{input[1]} << 8);
            input = input.subspan(2);
            length = std::min(length, input.size());
            // A buffer of exactly the chunk's size, so that reads past it are caught.
            std::vector<std::uint8_t> chunk(input.begin(),
                                            input.begin() + static_cast<long>(length));
            input = input.subspan(length);
            for (const auto& message : codec.append(chunk)) {
                checkRoundTrip(message);
            }
        }
        codec.finish();
    } catch (const ProtocolFailure&) {
        // The connection would be closed here.
    }
    return 0;
}
