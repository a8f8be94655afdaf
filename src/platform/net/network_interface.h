#pragma once

#include <asio/ip/address.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvanta {

// How an interface reaches the network. Cellular never occurs on Linux; the value exists so
// parameters can prohibit it like the other types.
enum class InterfaceType { wiredEthernet, wifi, loopback, cellular, other };

// The type's name as the path diagnostics print it: "wiredEthernet", "wifi", "loopback",
// "cellular", "other".
std::string_view interfaceTypeName(InterfaceType type);

// One network interface: kernel name, index and type. Two values name the same interface
// only when name and index are both equal (an interface that reappears gets a new index).
struct NetworkInterface {
    std::string name;
    int index = 0;
    InterfaceType type = InterfaceType::other;

    bool operator==(const NetworkInterface&) const = default;
};

// An interface with its state and addresses, as read from the kernel.
struct InterfaceInfo {
    NetworkInterface interface;
    bool up = false;       // administratively up
    bool carrier = false;  // the lower layer is up (cable, peer of a veth)
    // IPv4 and IPv6 addresses; IPv6 link-local addresses carry the interface as scope.
    std::vector<asio::ip::address> addresses;
};

// Classifies from the kernel link type (ARPHRD_*) and whether the device is wireless. Any
// Ethernet-framed device that is not wireless is wired, virtual ones (veth) included.
InterfaceType classifyInterface(unsigned linkType, bool wireless);

// Every interface of the calling thread's network namespace, sorted by index.
std::vector<InterfaceInfo> listInterfaces();

std::optional<InterfaceInfo> findInterface(std::string_view name);
std::optional<InterfaceInfo> findInterface(int index);

// The name, flags and addresses of the interface with `index`, without classifying it: its
// type is left `other`. For watchers that ask every second about an interface they already
// know (a device keeps its type for as long as it keeps its index and name).
std::optional<InterfaceInfo> interfaceState(int index);

}  // namespace sorvanta
