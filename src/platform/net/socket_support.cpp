#include "platform/net/socket_support.h"

#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/error.hpp>
#include <cerrno>

namespace sorvanta {

PlatformError platformError(const asio::error_code& error) {
    if (error.category() == asio::system_category()) {
        return PlatformError::posix(error.value());
    }
    if (error == asio::error::eof) {
        return PlatformError::posix(ECONNRESET);
    }
    if (error == asio::error::operation_aborted) {
        return PlatformError::posix(ECANCELED);
    }
    return PlatformError::posix(EIO);
}

std::optional<PlatformError> bindToDevice(int fd, const std::string& interfaceName) {
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                     static_cast<socklen_t>(interfaceName.size())) != 0) {
        return PlatformError::posix(errno);
    }
    return std::nullopt;
}

std::optional<PlatformError> applyLiveness(int fd, const NetworkParameters::Liveness& liveness) {
    const int on = 1;
    const int idle = static_cast<int>(liveness.keepaliveIdle.count());
    const int interval = static_cast<int>(liveness.keepaliveInterval.count());
    // With a drop time set the kernel ends a connection by it rather than by a count of
    // probes; the count still caps the probes of a connection whose drop time is longer.
    const int count = interval > 0 ? std::max(1, static_cast<int>(liveness.connectionDropTime /
                                                                  liveness.keepaliveInterval))
                                   : 1;
    const unsigned dropMilliseconds = static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(liveness.connectionDropTime).count());
    const struct {
        int level, option;
        const void* value;
        socklen_t size;
    } options[] = {
        {SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on},
        {IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle},
        {IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval},
        {IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count},
        {IPPROTO_TCP, TCP_USER_TIMEOUT, &dropMilliseconds, sizeof dropMilliseconds},
    };
    for (const auto& o : options) {
        if (::setsockopt(fd, o.level, o.option, o.value, o.size) != 0) {
            return PlatformError::posix(errno);
        }
    }
    return std::nullopt;
}

void askLargeBuffers(int fd, int bytes) {
    for (const auto& [force, plain] :
         {std::pair{SO_SNDBUFFORCE, SO_SNDBUF}, std::pair{SO_RCVBUFFORCE, SO_RCVBUF}}) {
        if (::setsockopt(fd, SOL_SOCKET, force, &bytes, sizeof bytes) != 0) {
            ::setsockopt(fd, SOL_SOCKET, plain, &bytes, sizeof bytes);
        }
    }
}

int socketBufferSize(int fd, int option) {
    int size = 0;
    socklen_t length = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, option, &size, &length) != 0) {
        return 0;
    }
    return size;
}

}  // namespace sorvanta
