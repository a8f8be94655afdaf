// The receive path's per-datagram work on the UDP probe: the identity check and parse of a
// 1200-byte datagram, and its accounting by the receiver. Both must keep up with 10^6
// datagrams a second, so each must stay well under a microsecond.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engines/udp_datagram.h"
#include "engines/udp_receiver.h"

namespace sorvanta {
namespace {

UDPBinding binding() {
    return {Uuid::random(),
            Uuid::random(),
            Uuid::random(),
            Uuid::random(),
            0,
            std::vector<std::uint8_t>(32, 0x42)};
}

void parseMatching(benchmark::State& state) {
    const auto prefix = binding().datagramPrefix();
    std::vector<std::uint8_t> datagram(udp_datagram::size, 0);
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        udp_datagram::writeHeader(datagram, prefix, udp_datagram::probeKind, sequence, 1.5);
        sequence = (sequence + 1) % 3'000'000;
        benchmark::DoNotOptimize(udp_datagram::check(datagram, prefix));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseMatching);

// A stranger's datagram costs the same single pass as a matching one.
void parseStranger(benchmark::State& state) {
    const auto prefix = binding().datagramPrefix();
    std::vector<std::uint8_t> datagram(udp_datagram::size, 0);
    udp_datagram::writeHeader(datagram, binding().datagramPrefix(), 1, 7, 1.5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(udp_datagram::check(datagram, prefix));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseStranger);

// Parse plus accounting of a leg of 3,000,000 datagrams with one in 1000 lost and one in
// 1000 late, as the receive handler does it.
void parseAndRecord(benchmark::State& state) {
    const auto prefix = binding().datagramPrefix();
    std::vector<std::uint8_t> datagram(udp_datagram::size, 0);
    auto receiver = std::make_unique<UDPReceiver>();
    std::int64_t next = 0;
    double clock = 0;
    for (auto _ : state) {
        if (next >= 3'000'000) {
            state.PauseTiming();
            receiver = std::make_unique<UDPReceiver>();
            next = 0;
            clock = 0;
            state.ResumeTiming();
        }
        std::int64_t sequence = next++;
        if (sequence % 1000 == 999) {
            ++next;  // one lost
        } else if (sequence % 1000 == 500) {
            sequence -= 2;  // one late, the slot before it already seen: a duplicate
        }
        clock += 1e-6;
        udp_datagram::writeHeader(datagram, prefix, 1, static_cast<std::uint32_t>(sequence), clock);
        const auto outcome = udp_datagram::check(datagram, prefix);
        receiver->record({outcome.datagram->sequence, outcome.datagram->probe,
                          outcome.datagram->sendTime, clock + 0.0001});
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseAndRecord);

}  // namespace
}  // namespace sorvanta
