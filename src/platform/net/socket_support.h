#pragma once

#include <asio/error_code.hpp>
#include <optional>
#include <string>

#include "platform/net/network_parameters.h"
#include "support/platform_error.h"

namespace sorvanta {

// The platform error of a failed socket operation. Errors that asio reports outside the
// system category are mapped to their nearest errno value.
PlatformError platformError(const asio::error_code& error);

// Binds the socket to one device so that only that interface carries its traffic.
std::optional<PlatformError> bindToDevice(int fd, const std::string& interfaceName);

// Turns on keep-alive probes and the limit on unacknowledged time of a TCP socket.
std::optional<PlatformError> applyLiveness(int fd, const NetworkParameters::Liveness& liveness);

// Asks for large send and receive buffers: first beyond the system limit where the process is
// allowed to, else up to the limit. The granted sizes are read back with socketBufferSize.
void askLargeBuffers(int fd, int bytes);

// The granted size of SO_SNDBUF or SO_RCVBUF (as the kernel reports it, i.e. doubled).
int socketBufferSize(int fd, int option);

}  // namespace sorvanta
