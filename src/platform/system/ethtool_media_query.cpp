#include "platform/system/ethtool_media_query.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/system/sysfs_device.h"

namespace sorvanta {
namespace {

class Socket {
  public:
    Socket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool ok() const { return fd_ >= 0; }

    bool ethtool(const std::string& name, void* request) const {
        ifreq ifr{};
        std::memcpy(ifr.ifr_name, name.data(), name.size());
        ifr.ifr_data = static_cast<char*>(request);
        return ::ioctl(fd_, SIOCETHTOOL, &ifr) == 0;
    }

  private:
    int fd_;
};

// The settings request with room after it for the largest link-mode masks the kernel may
// report (three masks of at most 127 words).
class LinkSettingsRequest {
  public:
    explicit LinkSettingsRequest(std::int8_t words)
        : settings(new (storage_) ethtool_link_settings{}) {
        std::memset(storage_, 0, sizeof storage_);
        settings->cmd = ETHTOOL_GLINKSETTINGS;
        settings->link_mode_masks_nwords = words;
    }

    ethtool_link_settings* const settings;

  private:
    alignas(ethtool_link_settings) unsigned char storage_[sizeof(ethtool_link_settings) +
                                                          3 * 127 * sizeof(std::uint32_t)];
};

void readSettings(const Socket& socket, const std::string& name, MediaReading& reading) {
    // The first call only learns how many mask words the kernel uses; it answers with
    // their negated count.
    LinkSettingsRequest probe(0);
    if (!socket.ethtool(name, probe.settings) || probe.settings->link_mode_masks_nwords >= 0 ||
        probe.settings->link_mode_masks_nwords < -127) {
        return;
    }
    const auto words = static_cast<std::int8_t>(-probe.settings->link_mode_masks_nwords);
    LinkSettingsRequest request(words);
    if (!socket.ethtool(name, request.settings) ||
        request.settings->link_mode_masks_nwords != words) {
        return;
    }
    const std::uint32_t speed = request.settings->speed;
    if (speed != 0 && speed != static_cast<std::uint32_t>(SPEED_UNKNOWN)) {
        reading.rate = static_cast<std::uint64_t>(speed) * 1'000'000;
    }
    if (request.settings->duplex == DUPLEX_FULL) {
        reading.fullDuplex = true;
    } else if (request.settings->duplex == DUPLEX_HALF) {
        reading.fullDuplex = false;
    }
}

}  // namespace

MediaReading ethtoolMediaReading(const std::string& name) {
    MediaReading reading;
    if (!sysfs::isInterfaceName(name)) {
        return reading;
    }
    const Socket socket;
    if (!socket.ok()) {
        return reading;
    }
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    if (socket.ethtool(name, &link)) {
        reading.valid = true;
        reading.active = link.data != 0;
    }
    readSettings(socket, name, reading);
    return reading;
}

}  // namespace sorvanta
