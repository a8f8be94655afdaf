#pragma once

#include <cstdint>
#include <optional>

namespace sorvanta {

// The TCP_INFO fields the transfer reports use, read from the kernel's own layout (newer
// than the C library's).
struct TcpInfoSample {
    std::uint64_t bytesSent = 0;  // including retransmissions
    std::uint64_t bytesRetransmitted = 0;
    std::uint32_t smoothedRttMicroseconds = 0;
    std::uint32_t minimumRttMicroseconds = 0;
    std::uint32_t rttVarianceMicroseconds = 0;
};

std::optional<TcpInfoSample> readTcpInfo(int fd);

}  // namespace sorvanta
