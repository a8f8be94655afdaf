#include "platform/system/ethernet_counter_capture.h"

#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/net/link_request.h"
#include "support/netlink_message.h"

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
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

template <class T>
std::optional<T> attributeValue(const rtattr* attribute) {
    if (RTA_PAYLOAD(attribute) < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, RTA_DATA(attribute), sizeof value);
    return value;
}

// Written the way the kernel shows them elsewhere: signed 32-bit decimals.
std::string carrierText(std::uint32_t up, std::uint32_t down) {
    return std::to_string(static_cast<std::int32_t>(up)) + ":" +
           std::to_string(static_cast<std::int32_t>(down));
}

// The leading counters up to the input drops, which every kernel version's 32-bit
// statistics block carries; the block has grown over the years, so never more than that.
constexpr std::size_t leadingStatistics = offsetof(rtnl_link_stats, tx_dropped);

}  // namespace

std::optional<std::uint64_t> readDeviceInode(const std::filesystem::path& deviceDirectory,
                                             std::string_view interface, std::int64_t index) {
    if (!isPlainDeviceName(interface)) {
        return std::nullopt;
    }
    // Both reads go through this one open directory, so they describe the same device even
    // if the name is handed to another device meanwhile.
    const auto path = deviceDirectory / std::string(interface);
    FileDescriptor device(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (device.get() < 0 || readInteger(device.get(), "ifindex") != index) {
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(device.get(), &status) != 0 || status.st_ino == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_ino);
}

std::optional<std::uint64_t> namespaceDeviceID(std::int64_t index) {
    struct stat status {};
    if (index <= 0 || index > std::numeric_limits<std::uint32_t>::max() ||
        ::stat("/proc/thread-self/ns/net", &status) != 0) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(status.st_ino) << 32) | static_cast<std::uint64_t>(index);
}

std::optional<std::uint64_t> readRegistryID(std::string_view interface, std::int64_t index) {
    // A device's entry in /sys/class/net is created when the device is registered and
    // removed when it is unregistered or leaves the network namespace. The kernel draws the
    // inode numbers of these entries cyclically (on 64-bit systems with a wrap-around
    // generation in the upper half), so a number is not handed out again during a boot: a
    // device that replaces another under the same name, even under the same index, gets a
    // different one.
    if (auto inode = readDeviceInode("/sys/class/net", interface, index)) {
        return inode;
    }
    // The directory shows the namespace of whoever mounted it, which need not be the calling
    // thread's. There the device is known by its namespace and index: the kernel also hands
    // out interface indexes cyclically, so a replacing device gets a new index unless one is
    // forced on it.
    return namespaceDeviceID(index);
}

std::optional<std::string> parseCarrierCounts(std::span<const std::byte> reply,
                                              std::string_view interface, std::int64_t index) {
    // An error, another link or a renamed one carries no counts.
    const auto answer = parseLinkAnswer(reply, index);
    if (!answer || answer->name != interface) {
        return std::nullopt;
    }
    return answer->carrierCounts;
}

std::optional<LinkAnswer> parseLinkAnswer(std::span<const std::byte> reply, std::int64_t index) {
    if (reply.empty()) {
        return std::nullopt;
    }
    // Netlink messages are aligned; copy into aligned storage before reading headers.
    std::vector<nlmsghdr> storage((reply.size() + sizeof(nlmsghdr) - 1) / sizeof(nlmsghdr));
    std::memcpy(storage.data(), reply.data(), reply.size());
    int remaining = static_cast<int>(std::min<std::size_t>(reply.size(), INT32_MAX));
    for (const nlmsghdr* message = storage.data(); netlinkMessageFits(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
        if (message->nlmsg_type == NLMSG_ERROR) {
            if (message->nlmsg_len < NLMSG_LENGTH(sizeof(int))) {
                return std::nullopt;
            }
            int error = 0;
            std::memcpy(&error, NLMSG_DATA(message), sizeof error);
            // Any other failure says nothing about the link.
            return error == -ENODEV ? std::optional(LinkAnswer{}) : std::nullopt;
        }
        if (message->nlmsg_type != RTM_NEWLINK ||
            message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
            continue;
        }
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
        if (info->ifi_index != index) {
            continue;
        }
        LinkAnswer answer;
        answer.exists = true;
        std::optional<std::uint32_t> up;
        std::optional<std::uint32_t> down;
        int length = static_cast<int>(IFLA_PAYLOAD(message));
        for (const rtattr* attribute = IFLA_RTA(info); RTA_OK(attribute, length);
             attribute = RTA_NEXT(attribute, length)) {
            switch (attribute->rta_type) {
                case IFLA_IFNAME: {
                    const auto* text = static_cast<const char*>(RTA_DATA(attribute));
                    answer.name.assign(text, ::strnlen(text, RTA_PAYLOAD(attribute)));
                    break;
                }
                case IFLA_STATS:
                    if (RTA_PAYLOAD(attribute) >= leadingStatistics) {
                        rtnl_link_stats statistics{};
                        std::memcpy(&statistics, RTA_DATA(attribute), leadingStatistics);
                        answer.counters = LinkErrorCounters{
                            statistics.rx_errors, statistics.tx_errors, statistics.rx_dropped};
                    }
                    break;
                case IFLA_CARRIER_UP_COUNT:
                    up = attributeValue<std::uint32_t>(attribute);
                    break;
                case IFLA_CARRIER_DOWN_COUNT:
                    down = attributeValue<std::uint32_t>(attribute);
                    break;
                default:
                    break;
            }
        }
        if (up && down) {
            answer.carrierCounts = carrierText(*up, *down);
        }
        return answer;
    }
    return std::nullopt;
}

std::optional<LinkAnswer> queryLink(std::int64_t index) {
    if (index <= 0 || index > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    FileDescriptor route(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (route.get() < 0 || !requestLink(route.get(), static_cast<int>(index), 1)) {
        return std::nullopt;
    }
    // The kernel answers a link request before the sending call returns.
    alignas(nlmsghdr) std::array<std::byte, 16 * 1024> reply;
    const ssize_t received =
        ::recv(route.get(), reply.data(), reply.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (received <= 0 || static_cast<std::size_t>(received) > reply.size()) {
        return std::nullopt;  // failed, or cut short
    }
    return parseLinkAnswer(std::span(reply.data(), static_cast<std::size_t>(received)), index);
}

std::optional<std::string> readCarrierCounts(std::string_view interface, std::int64_t index) {
    // Every carrier transition, including those caused by taking the link down or up, adds
    // to one of these counts, so the pair changes whenever the link's state does. Asked
    // over a routing socket, which belongs to the calling thread's network namespace.
    if (index <= 0 || index > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    FileDescriptor route(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (route.get() < 0) {
        return std::nullopt;
    }
    const timeval timeout{1, 0};
    ::setsockopt(route.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (!requestLink(route.get(), static_cast<int>(index), 1)) {
        return std::nullopt;
    }
    std::vector<std::byte> reply(64 * 1024);
    const ssize_t received = ::recv(route.get(), reply.data(), reply.size(), MSG_TRUNC);
    if (received <= 0 || static_cast<std::size_t>(received) > reply.size()) {
        return std::nullopt;  // failed, or cut short
    }
    reply.resize(static_cast<std::size_t>(received));
    return parseCarrierCounts(reply, interface, index);
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
        // The C library copies exactly the statistics block the running kernel sends.
        rtnl_link_stats statistics{};
        std::memcpy(&statistics, entry->ifa_data, leadingStatistics);
        snapshot.rxErrors = statistics.rx_errors;
        snapshot.txErrors = statistics.tx_errors;
        snapshot.inputDrops = statistics.rx_dropped;
        snapshot.administrativeChange = stateChanges;
        snapshot.reason.reset();
        return;
    }
}

}  // namespace sorvanta::ethernet_capture

namespace sorvanta {

using namespace ethernet_capture;

namespace {

// The reading from the interface list, for what one link request cannot settle.
EthernetCounterSnapshot captureFromInterfaceList(const std::string& interface, std::int64_t index,
                                                 EthernetCounterSnapshot snapshot) {
    // A missing interface has index 0, so it passes only when 0 is what was expected.
    if (static_cast<std::int64_t>(::if_nametoindex(interface.c_str())) != index) {
        snapshot.reason = std::string(EthernetCounterSnapshot::identityChanged);
        return snapshot;
    }

    snapshot.registryID = readRegistryID(interface, index);
    const auto stateChanges = readCarrierCounts(interface, index);

    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        const int error = errno;
        snapshot.reason = "getifaddrs unavailable (errno " + std::to_string(error) + ").";
        return snapshot;
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);
    readStatistics(list.get(), interface, index, stateChanges, snapshot);
    return snapshot;
}

}  // namespace

EthernetCounterSnapshot captureEthernetCounters(const std::string& interface, std::int64_t index,
                                                double offset) {
    EthernetCounterSnapshot snapshot;
    snapshot.offset = offset;
    snapshot.reason = std::string(EthernetCounterSnapshot::statisticsUnavailable);

    // One request for the link by its index carries its name, statistics and carrier
    // counts at one moment. Whatever it cannot settle (no such index can exist, a name the
    // kernel could not hold, no whole answer) goes the longer way, which reads the same.
    const auto answer = interface.find('\0') == std::string::npos ? queryLink(index) : std::nullopt;
    if (!answer) {
        return captureFromInterfaceList(interface, index, std::move(snapshot));
    }
    // The device with that index must still carry the name.
    if (!answer->exists || answer->name != interface) {
        snapshot.reason = std::string(EthernetCounterSnapshot::identityChanged);
        return snapshot;
    }
    snapshot.registryID = readRegistryID(interface, index);
    if (answer->counters) {
        snapshot.rxErrors = answer->counters->rxErrors;
        snapshot.txErrors = answer->counters->txErrors;
        snapshot.inputDrops = answer->counters->inputDrops;
        snapshot.administrativeChange = answer->carrierCounts;
        snapshot.reason.reset();
    }
    return snapshot;
}

}  // namespace sorvanta
