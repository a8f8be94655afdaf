#include "platform/net/network_interface.h"

#include <ifaddrs.h>
#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <linux/wireless.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

namespace sorvanta {

namespace {

// The wireless extensions answer SIOCGIWNAME only for wireless devices. The socket belongs to
// the calling thread's namespace, unlike sysfs, which shows the namespace it was mounted in.
bool answersWirelessQuery(int socketFd, const std::string& name) {
    iwreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return ::ioctl(socketFd, SIOCGIWNAME, &request) == 0;
}

// Kernels built without wireless extensions still show the phy in sysfs; trust it only when
// sysfs describes the same device (same index), i.e. it was mounted in this namespace.
bool sysfsShowsWireless(const std::string& name, int index) {
    const std::string base = "/sys/class/net/" + name;
    std::ifstream indexFile(base + "/ifindex");
    int sysIndex = 0;
    if (!(indexFile >> sysIndex) || sysIndex != index) {
        return false;
    }
    return ::access((base + "/phy80211").c_str(), F_OK) == 0 ||
           ::access((base + "/wireless").c_str(), F_OK) == 0;
}

}  // namespace

std::string_view interfaceTypeName(InterfaceType type) {
    switch (type) {
        case InterfaceType::wiredEthernet:
            return "wiredEthernet";
        case InterfaceType::wifi:
            return "wifi";
        case InterfaceType::loopback:
            return "loopback";
        case InterfaceType::cellular:
            return "cellular";
        case InterfaceType::other:
            return "other";
    }
    return "other";
}

InterfaceType classifyInterface(unsigned linkType, bool wireless) {
    if (linkType == ARPHRD_LOOPBACK) {
        return InterfaceType::loopback;
    }
    if (linkType == ARPHRD_IEEE80211 || linkType == ARPHRD_IEEE80211_RADIOTAP) {
        return InterfaceType::wifi;
    }
    if (linkType == ARPHRD_ETHER) {
        return wireless ? InterfaceType::wifi : InterfaceType::wiredEthernet;
    }
    return InterfaceType::other;
}

namespace {

// The interfaces of the calling thread's namespace that `wanted` keeps (by name and index),
// sorted by index. Only those kept are classified: the wireless checks cost a query and a
// file read per interface, and the link watchers ask for one interface every second.
template <class Wanted>
std::vector<InterfaceInfo> readInterfaces(Wanted wanted, bool classify = true) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return {};
    }
    std::map<std::string, InterfaceInfo> byName;
    std::map<std::string, unsigned> linkTypes;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) {
            continue;
        }
        InterfaceInfo& info = byName[entry->ifa_name];
        info.interface.name = entry->ifa_name;
        info.up = (entry->ifa_flags & IFF_UP) != 0;
        info.carrier = (entry->ifa_flags & IFF_LOWER_UP) != 0;
        const sockaddr* address = entry->ifa_addr;
        if (address == nullptr) {
            continue;
        }
        if (address->sa_family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(address);
            info.interface.index = link->sll_ifindex;
            linkTypes[entry->ifa_name] = link->sll_hatype;
        } else if (address->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(address);
            asio::ip::address_v4::bytes_type bytes;
            std::memcpy(bytes.data(), &in->sin_addr, bytes.size());
            info.addresses.emplace_back(asio::ip::address_v4(bytes));
        } else if (address->sa_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &in6->sin6_addr, bytes.size());
            info.addresses.emplace_back(asio::ip::address_v6(bytes, in6->sin6_scope_id));
        }
    }
    ::freeifaddrs(list);

    int probe = -1;
    std::vector<InterfaceInfo> result;
    for (auto& [name, info] : byName) {
        if (info.interface.index == 0) {
            info.interface.index = static_cast<int>(::if_nametoindex(name.c_str()));
        }
        if (info.interface.index == 0) {
            continue;  // vanished while we read
        }
        if (!wanted(info.interface)) {
            continue;
        }
        if (!classify) {
            result.push_back(std::move(info));
            continue;
        }
        if (probe < 0) {
            probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        const auto type = linkTypes.find(name);
        const bool wireless = (probe >= 0 && answersWirelessQuery(probe, name)) ||
                              sysfsShowsWireless(name, info.interface.index);
        info.interface.type =
            classifyInterface(type != linkTypes.end() ? type->second : ARPHRD_VOID, wireless);
        result.push_back(std::move(info));
    }
    if (probe >= 0) {
        ::close(probe);
    }
    std::sort(result.begin(), result.end(), [](const InterfaceInfo& a, const InterfaceInfo& b) {
        return a.interface.index < b.interface.index;
    });
    return result;
}

std::optional<InterfaceInfo> first(std::vector<InterfaceInfo> found) {
    if (found.empty()) {
        return std::nullopt;
    }
    return std::move(found.front());
}

}  // namespace

std::vector<InterfaceInfo> listInterfaces() {
    return readInterfaces([](const NetworkInterface&) { return true; });
}

std::optional<InterfaceInfo> findInterface(std::string_view name) {
    return first(readInterfaces([name](const NetworkInterface& i) { return i.name == name; }));
}

std::optional<InterfaceInfo> findInterface(int index) {
    return first(readInterfaces([index](const NetworkInterface& i) { return i.index == index; }));
}

std::optional<InterfaceInfo> interfaceState(int index) {
    return first(
        readInterfaces([index](const NetworkInterface& i) { return i.index == index; }, false));
}

}  // namespace sorvanta
