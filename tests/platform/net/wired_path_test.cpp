#include "platform/net/wired_path.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/net/transport_state.h"

namespace sorvanta {
namespace {

const NetworkInterface pinned{"eth1", 4, InterfaceType::wiredEthernet};

NetworkPath pathOver(std::vector<NetworkInterface> interfaces,
                     PathStatus status = PathStatus::satisfied) {
    NetworkPath path;
    path.status = status;
    if (status == PathStatus::satisfied) {
        path.unsatisfiedReason.reset();
    }
    path.availableInterfaces = std::move(interfaces);
    return path;
}

TEST(WiredPathRule, PassesOnlyExactlyThePinnedWiredInterface) {
    EXPECT_TRUE(isWiredPath(pathOver({pinned}), pinned));
    EXPECT_TRUE(isWiredPath(pathOver({pinned, pinned}), pinned));  // a set of identities
    EXPECT_TRUE(isWiredPath(pathOver({pinned}), "eth1", 4));

    const NetworkInterface otherWired{"eth2", 5, InterfaceType::wiredEthernet};
    EXPECT_FALSE(isWiredPath(pathOver({pinned, otherWired}), pinned));
    EXPECT_FALSE(isWiredPath(pathOver({{"eth1", 9, InterfaceType::wiredEthernet}}), pinned));
    EXPECT_FALSE(isWiredPath(pathOver({}), pinned));
    EXPECT_FALSE(isWiredPath(pathOver({pinned}, PathStatus::unsatisfied), pinned));
    EXPECT_FALSE(isWiredPath(pathOver({pinned}, PathStatus::requiresConnection), pinned));
}

TEST(WiredPathRule, AnyOtherInterfaceTypeOnThePathFails) {
    for (const auto type : {InterfaceType::wifi, InterfaceType::loopback, InterfaceType::cellular,
                            InterfaceType::other}) {
        SCOPED_TRACE(std::string(interfaceTypeName(type)));
        // The pinned identity with another type, alone and beside its wired self: the second
        // passes every other rule, so only the type check refuses it.
        EXPECT_FALSE(isWiredPath(pathOver({{"eth1", 4, type}}), pinned));
        EXPECT_FALSE(isWiredPath(pathOver({pinned, {"eth1", 4, type}}), pinned));
    }
}

TEST(WiredParameters, PinTheInterfaceAndProhibitEveryOtherType) {
    const NetworkParameters parameters = makeWiredParameters(pinned);
    EXPECT_EQ(parameters.transport, NetworkParameters::Transport::tcp);
    EXPECT_EQ(parameters.requiredInterface, pinned);
    EXPECT_EQ(parameters.requiredInterfaceType, InterfaceType::wiredEthernet);
    EXPECT_EQ(parameters.prohibitedInterfaceTypes,
              (std::vector<InterfaceType>{InterfaceType::wifi, InterfaceType::loopback,
                                          InterfaceType::cellular, InterfaceType::other}));
    EXPECT_FALSE(parameters.includePeerToPeer);

    EXPECT_TRUE(parameters.permits(pinned));
    EXPECT_FALSE(parameters.permits({"eth1", 5, InterfaceType::wiredEthernet}));
    EXPECT_FALSE(parameters.permits({"eth2", 4, InterfaceType::wiredEthernet}));
    EXPECT_FALSE(parameters.permits({"eth1", 4, InterfaceType::wifi}));
}

TEST(NetworkValues, TextsAndEndpoints) {
    EXPECT_EQ(TransportState{}.text(), "setup");
    EXPECT_EQ(TransportState::failed(PlatformError::posix(ECONNRESET)).text(),
              "failed(POSIX error 104: Connection reset by peer)");
    EXPECT_EQ((ListenerState{ListenerState::Kind::ready, {}, 5000}).text(), "ready(port 5000)");
    EXPECT_EQ(pathOver({pinned}).statusText(), "satisfied");
    NetworkPath denied;
    denied.unsatisfiedReason = UnsatisfiedReason::localNetworkDenied;
    EXPECT_EQ(denied.statusText(), "unsatisfied (localNetworkDenied)");

    // IPv4-mapped IPv6 reads as IPv4; a scope that names no interface stays as a number.
    const auto mapped =
        Endpoint::from(asio::ip::tcp::endpoint(asio::ip::make_address("::ffff:169.254.3.4"), 80));
    EXPECT_TRUE(mapped.host.is_v4());
    EXPECT_EQ(mapped.text(), "169.254.3.4:80");
    auto scoped = asio::ip::make_address_v6("fe80::2");
    scoped.scope_id(999999);
    EXPECT_EQ((Endpoint{scoped, 7}).text(), "[fe80::2%999999]:7");
}

}  // namespace
}  // namespace sorvanta
