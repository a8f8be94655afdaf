#include "lab/quick_test_setups.h"

namespace sorvanta::testing {

std::array<QuickTest::Setup, 2> quickTestSetups(const std::array<Uuid, 2>& ids,
                                                const std::array<NetworkInterface, 2>& interfaces,
                                                const std::array<asio::ip::address, 2>& hosts,
                                                const Uuid& run, const Uuid& session) {
    std::array<QuickTest::Setup, 2> setups;
    for (int i = 0; i < 2; ++i) {
        setups[i].id = run;
        setups[i].session = session;
        setups[i].local = ids[i];
        setups[i].peer = ids[1 - i];
        setups[i].initiator = ids[0];
        setups[i].interface = interfaces[i];
        setups[i].host = hosts[i];
    }
    return setups;
}

std::array<QuickTest::Setup, 2> quickTestSetups(const NetnsPair& pair,
                                                const std::array<NetworkInterface, 2>& interfaces,
                                                const Uuid& initiator) {
    return quickTestSetups({initiator, Uuid::random()}, interfaces,
                           {asio::ip::make_address(pair.ipv4B), asio::ip::make_address(pair.ipv4A)},
                           Uuid::random(), Uuid::random());
}

}  // namespace sorvanta::testing
