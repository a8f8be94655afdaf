#include "protocol/ethernet_counter_capture.h"

#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>

namespace sorvanta::ethernet_capture {
namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// A name that can only denote an entry directly inside the device directory.
bool isPlainDeviceName(std::string_view name) {
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// One decimal integer as the kernel writes an attribute: an optional minus sign, digits
// and one closing line break.
std::optional<std::int64_t> readInteger(int directory, const char* attribute) {
    FileDescriptor file(::openat(directory, attribute, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return std::nullopt;
    }
    char buffer[32];
    const ssize_t length = ::read(file.get(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof buffer) {
        return std::nullopt;
    }
    std::string_view text(buffer, static_cast<std::size_t>(length));
    if (text.back() == '\n') {
        text.remove_suffix(1);
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty() ||
        text.front() == '+') {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int32_t> readInt32(int directory, const char* attribute) {
    const auto value = readInteger(directory, attribute);
    if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*value);
}

}  // namespace

DeviceIdentity readDeviceIdentity(const std::filesystem::path& deviceDirectory,
                                  std::string_view interface, std::int64_t index) {
    DeviceIdentity identity;
    if (!isPlainDeviceName(interface)) {
        return identity;
    }
    // Every read below goes through this one open directory, so all of them describe the
    // same device even if the name is handed to another device meanwhile.
    const auto path = deviceDirectory / std::string(interface);
    FileDescriptor device(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (device.get() < 0) {
        return identity;
    }
    // The directory may belong to another device than the one the caller identified by
    // name and index (for instance when this directory shows another network namespace).
    if (readInteger(device.get(), "ifindex") != index) {
        return identity;
    }
    // The device's directory is created when the device is registered and removed when it
    // is unregistered or leaves the network namespace. Its inode number is drawn
    // cyclically by the kernel (on 64-bit systems with a wrap-around generation in the
    // upper half), so it is not handed out again during a boot: a device that replaces
    // another under the same name and even the same index gets a different number.
    struct stat status {};
    if (::fstat(device.get(), &status) == 0 && status.st_ino != 0) {
        identity.registryID = static_cast<std::uint64_t>(status.st_ino);
    }
    // Every carrier transition, including those caused by taking the link down or up,
    // adds to one of these counts, so the pair changes whenever the link's state does.
    const auto up = readInt32(device.get(), "carrier_up_count");
    const auto down = readInt32(device.get(), "carrier_down_count");
    if (up && down) {
        identity.stateChanges = std::to_string(*up) + ":" + std::to_string(*down);
    }
    return identity;
}

void readStatistics(const ifaddrs* list, std::string_view interface, std::int64_t index,
                    const std::optional<std::string>& stateChanges,
                    EthernetCounterSnapshot& snapshot) {
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET ||
            entry->ifa_name == nullptr || interface != entry->ifa_name ||
            entry->ifa_data == nullptr) {
            continue;
        }
        // The first qualifying entry decides.
        sockaddr_ll link{};
        std::memcpy(&link, entry->ifa_addr, sizeof link);
        if (link.sll_ifindex != index) {
            snapshot.reason = std::string(EthernetCounterSnapshot::linkIdentityMismatched);
            return;
        }
        rtnl_link_stats statistics{};
        std::memcpy(&statistics, entry->ifa_data, sizeof statistics);
        snapshot.rxErrors = statistics.rx_errors;
        snapshot.txErrors = statistics.tx_errors;
        snapshot.inputDrops = statistics.rx_dropped;
        snapshot.administrativeChange = stateChanges;
        snapshot.reason.reset();
        return;
    }
}

}  // namespace sorvanta::ethernet_capture
