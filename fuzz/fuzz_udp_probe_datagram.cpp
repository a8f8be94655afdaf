// Feeds a receiving probe leg datagrams built from the input: raw bytes, and well-formed
// headers whose sequence, kind and send time the input chooses, some with one byte flipped
// or cut short. Each datagram goes through the parser as the engine checks it, the probes it
// accepts into the receiver's accounting, at arrival times that mostly move forward and with
// receive-queue drop counts that mostly grow. Then the leg completes against a sender count
// and a final drop count taken from the input.
//
// Faults: the two forms of the parser disagreeing, a parse of a datagram of the wrong size
// or identity, any exception but ProtocolFailure, a refused datagram that changed the
// receiver, counts that contradict each other, and a completed observation that the other
// computer's validator would refuse.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <span>
#include <vector>

#include "engines/udp_datagram.h"
#include "engines/udp_leg_result.h"
#include "engines/udp_leg_state.h"
#include "protocol/protocol_failure.h"

using namespace sorvanta;

namespace {

const UDPBinding& binding() {
    static const UDPBinding value = [] {
        UDPBinding b;
        b.run = *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
        b.session = *Uuid::parse("10203040-5060-7080-90A0-B0C0D0E0F000");
        b.probe = *Uuid::parse("F0E0D0C0-B0A0-9080-7060-504030201000");
        b.sender = *Uuid::parse("0F0E0D0C-0B0A-0908-0706-050403020100");
        b.leg = 1;
        for (std::uint8_t i = 0; i < UDPBinding::tokenBytes; ++i) {
            b.token.push_back(static_cast<std::uint8_t>(0x30 + i));
        }
        return b;
    }();
    return value;
}

// Reads the input front to back; past its end every read gives zeros.
struct Input {
    std::span<const std::uint8_t> rest;

    bool empty() const { return rest.empty(); }
    std::uint64_t take(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            value = value << 8 | (rest.empty() ? 0 : rest[0]);
            rest = rest.empty() ? rest : rest.subspan(1);
        }
        return value;
    }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        count = std::min(count, rest.size());
        std::vector<std::uint8_t> out(rest.begin(), rest.begin() + static_cast<long>(count));
        rest = rest.subspan(count);
        return out;
    }
};

std::vector<std::uint8_t> nextDatagram(Input& in, const UDPBinding::Prefix& prefix) {
    const auto mode = static_cast<std::uint8_t>(in.take(1));
    if ((mode & 1) == 0) {
        return in.bytes(in.take(2) % 1400);
    }
    std::vector<std::uint8_t> datagram(udp_datagram::size, 0);
    const auto kind = (mode & 2) ? udp_datagram::probeKind : udp_datagram::readinessKind;
    // Mostly small sequences so that gaps, late arrivals and duplicates meet.
    auto sequence = static_cast<std::uint32_t>(in.take(2));
    if (mode & 16) {
        sequence = static_cast<std::uint32_t>(in.take(4));
    }
    double sendTime = static_cast<double>(in.take(2)) * 1e-4;
    if (mode & 32) {
        const std::uint64_t bits = in.take(8);
        std::memcpy(&sendTime, &bits, sizeof sendTime);
    }
    udp_datagram::writeHeader(datagram, prefix, kind, sequence, sendTime);
    if (mode & 4) {
        // Mostly within the header, where every byte is checked.
        const auto at =
            (mode & 64) ? in.take(2) % datagram.size() : in.take(1) % udp_datagram::headerSize;
        datagram[at] ^= static_cast<std::uint8_t>(in.take(1) | 1);
    }
    if (mode & 8) {
        datagram.resize(in.take(2) % (udp_datagram::size + 1));
    }
    return datagram;
}

struct Counts {
    std::int64_t unique, duplicates, outOfOrder, highest;
    std::size_t gaps;
    bool operator==(const Counts&) const = default;
};

Counts countsOf(const UDPReceiver& r) {
    return {r.unique, r.duplicates, r.outOfOrder, r.highest, r.gaps.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto prefix = binding().datagramPrefix();
    Input in{std::span<const std::uint8_t>(data, size)};
    const UdpLegFacts facts{binding(), 1e9, 3.0, true};
    UdpLegState state(facts);
    state.receipt = true;
    state.path = "UDP connection on eth1";
    state.senderPath = "UDP connection on eth1";
    UDPReceiver& receiver = state.receiver;
    double arrival = 0.5;
    std::int64_t accepted = 0;
    std::int64_t drops = 0;

    for (int count = 0; !in.empty() && count < 4096; ++count) {
        const auto datagram = nextDatagram(in, prefix);
        const auto outcome = udp_datagram::check(datagram, prefix);
        try {
            const auto parsed = udp_datagram::parse(datagram, prefix);
            if (!outcome.datagram || !(*outcome.datagram == parsed)) {
                std::abort();
            }
        } catch (const ProtocolFailure& failure) {
            if (outcome.datagram || failure.value() != outcome.failure) {
                std::abort();
            }
        }
        if (!outcome.datagram) {
            continue;
        }
        // Only a datagram of this leg, whole, parses; its kind byte is the only one of the
        // identity that may differ.
        if (datagram.size() != udp_datagram::size ||
            !std::equal(prefix.begin(), prefix.begin() + udp_datagram::kindOffset,
                        datagram.begin()) ||
            !std::equal(prefix.begin() + udp_datagram::kindOffset + 1, prefix.end(),
                        datagram.begin() + udp_datagram::kindOffset + 1)) {
            std::abort();
        }
        if (!outcome.datagram->probe) {
            continue;
        }
        // Arrivals move forward by up to about 6.5 ms, now and then back (refused).
        const auto step = static_cast<std::int16_t>(in.take(2));
        arrival = std::clamp(arrival + static_cast<double>(step) * 2e-7, 0.0, 11.0);
        // Drop counts grow a little, now and then to any value at all.
        const auto grow = static_cast<std::uint8_t>(in.take(1));
        drops = grow == 0xFF ? static_cast<std::int64_t>(in.take(8)) : drops + (grow & 0x3F);
        const Counts before = countsOf(receiver);
        const auto holesBefore = receiver.holes;
        try {
            receiver.record(
                {outcome.datagram->sequence, true, outcome.datagram->sendTime, arrival, drops});
            ++accepted;
        } catch (const ProtocolFailure&) {
            if (!(countsOf(receiver) == before) || receiver.holes != holesBefore) {
                std::abort();  // a refusal leaves the receiver as it was
            }
            ++receiver.rejected;
        }
        const auto holes =
            std::accumulate(receiver.holes.begin(), receiver.holes.end(), std::int64_t{0});
        // Every missing datagram is the link's or the queue's, never both.
        if (receiver.unique + receiver.duplicates != accepted ||
            receiver.outOfOrder > receiver.unique || receiver.highest + 1 < receiver.unique ||
            holes < 0 || receiver.queueDropHoles < 0 ||
            holes + receiver.queueDropHoles >
                receiver.highest + 1 - receiver.unique + receiver.outOfOrder ||
            receiver.gaps.size() > UDPReceiver::maximumGaps) {
            std::abort();
        }
    }

    // The sender's count as its summary reports it; the receiver's completion must give an
    // observation the sending computer accepts.
    UDPSendSummary send;
    send.attempted = send.accepted =
        static_cast<std::int64_t>(in.take(3) % (UDPSendSummary::maximumAttempted + 1));
    send.seconds = 3.0;
    send.measurementStart = 0.5;
    send.measurementEnd = 3.5;
    if (send.accepted > 0) {
        send.firstSubmission = 0.5;
        send.lastSubmission = 3.5;
    }
    state.senderSummary = send;
    receiver.noteQueueDrops(static_cast<std::int64_t>(in.take(8)));
    state.tailStart = arrival;
    const double tail = 0.5 + static_cast<double>(in.take(1)) * 0.002;
    const auto observation = udp_leg_result::completed(facts, state, arrival + tail);
    try {
        observation.validate();
    } catch (const ProtocolFailure&) {
        std::abort();
    }
    return 0;
}
