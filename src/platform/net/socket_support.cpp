#include "platform/net/socket_support.h"

#include <net/if.h>
#include <sys/socket.h>

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
