#pragma once

// The two set-ups of one Quick Test run, as the scenarios and the benchmark runs build them.

#include <array>

#include "lab/netns_lab.h"
#include "platform/net/network_interface.h"
#include "quicktest/quick_test.h"

namespace sorvanta::testing {

// Side 0 (ids[0]) initiates, side 1 answers; both share `run` and `session`. Side i is pinned
// to interfaces[i] and dials hosts[i]. Profile, names and notify are left to the caller.
std::array<QuickTest::Setup, 2> quickTestSetups(const std::array<Uuid, 2>& ids,
                                                const std::array<NetworkInterface, 2>& interfaces,
                                                const std::array<asio::ip::address, 2>& hosts,
                                                const Uuid& run, const Uuid& session);

// The same across a veth pair: side 0 lives in A with the id `initiator`, side 1 in B with a
// fresh id; each dials the other's IPv4 address, and the run and session ids are fresh.
std::array<QuickTest::Setup, 2> quickTestSetups(const NetnsPair& pair,
                                                const std::array<NetworkInterface, 2>& interfaces,
                                                const Uuid& initiator);

}  // namespace sorvanta::testing
