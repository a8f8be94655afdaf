#include "platform/net/tcp_info_reader.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace sorvanta {

std::optional<TcpInfoSample> readTcpInfo(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return std::nullopt;
    }
    TcpInfoSample sample;
    sample.bytesSent = info.tcpi_bytes_sent;
    sample.bytesRetransmitted = info.tcpi_bytes_retrans;
    sample.smoothedRttMicroseconds = info.tcpi_rtt;
    sample.minimumRttMicroseconds = info.tcpi_min_rtt;
    sample.rttVarianceMicroseconds = info.tcpi_rttvar;
    return sample;
}

}  // namespace sorvanta
