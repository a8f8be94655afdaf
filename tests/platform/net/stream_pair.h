#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvanta::testing {

// A connected local stream pair; the reading end drains what the other end was given. Given
// a send buffer size, the sending end is non-blocking with that small a buffer, so that it
// fills up quickly.
struct StreamPair {
    int sender = -1, reader = -1;
    explicit StreamPair(int sendBuffer = 0) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            return;
        }
        sender = fds[0];
        reader = fds[1];
        if (sendBuffer > 0) {
            ::fcntl(sender, F_SETFL, ::fcntl(sender, F_GETFL) | O_NONBLOCK);
            ::setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        }
    }
    StreamPair(const StreamPair&) = delete;
    StreamPair& operator=(const StreamPair&) = delete;
    ~StreamPair() {
        for (int fd : {sender, reader}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    std::string drain() const {
        std::string got;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(reader, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                return got;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
};

// Bytes that differ from their neighbours and from a shifted copy of themselves.
inline std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

}  // namespace sorvanta::testing
