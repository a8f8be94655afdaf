// Encoding plus framing, and reassembly plus decoding plus validation, of the two control
// messages that matter most for size: a `speed` message carrying a receiver's final
// `result` sample (10 one-second intervals) and a `qualityFinish` carrying full Ethernet
// evidence (128 link samples).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "protocol/control_frame_codec.h"
#include "protocol/control_message.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

ControlMessage speedMessage(SpeedMessage speed) {
    ControlMessage m;
    m.kind = ControlMessage::Kind::speed;
    m.session = Uuid::random();
    m.instance = Uuid::random();
    if (speed.ethernet) {
        speed.ethernet->session = m.session;
    }
    m.speed = std::move(speed);
    return m;
}

ControlMessage resultMessage() {
    SpeedMessage s;
    s.kind = SpeedMessage::Kind::result;
    s.run = Uuid::random();
    s.sender = Uuid::random();
    s.stage = 1;
    SpeedSample sample;
    sample.bytes = 1'174'834'176;
    sample.seconds = 10.000213;
    sample.rollingBps = 939'912'345.25;
    sample.measuring = true;
    for (int i = 0; i < 10; ++i) {
        sample.intervals.push_back(ThroughputInterval{2.000107 + i, 3.000107 + i,
                                                      117'483'417u + static_cast<unsigned>(i)});
    }
    s.sample = sample;
    return speedMessage(s);
}

ControlMessage qualityFinishMessage() {
    SpeedMessage s;
    s.kind = SpeedMessage::Kind::qualityFinish;
    s.run = Uuid::random();
    s.sender = Uuid::random();
    s.stage = 2;
    EthernetRunEvidence e;
    e.run = s.run;
    e.participant = s.sender;
    e.interface = "enp3s0";
    e.interfaceIndex = 3;
    e.schema = 2;
    e.counterWidth = 32;
    e.counterAPI = "getifaddrs AF_LINK/if_data";
    e.linkAPI = "SIOCGIFXMEDIA; IORegistry kIOLinkStatus/kIOLinkSpeed";
    e.before.offset = 0.001532;
    e.before.registryID = 4'294'971'234u;
    e.before.administrativeChange = "1733500000:250000";
    e.before.rxErrors = 0;
    e.before.txErrors = 0;
    e.before.inputDrops = 12;
    e.after = e.before;
    e.after->offset = 52.871245;
    e.after->inputDrops = 14;
    for (int i = 0; i < 128; ++i) {
        EthernetLinkSample link;
        link.offset = 0.25 + i * 0.3917;
        link.active = true;
        link.rate = 1'000'000'000;
        link.fullDuplex = true;
        e.links.push_back(link);
    }
    e.adapter = AdapterProfile{2'500'000'000, 1'000'000'000, "Realtek RTL8156", 5'000'000'000};
    e.lowPowerMode = false;
    s.ethernet = e;
    return speedMessage(s);
}

void encodeAndFrame(benchmark::State& state, const ControlMessage& message) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto frame = ControlFrameCodec::encode(message);
        bytes = frame.size();
        benchmark::DoNotOptimize(frame.data());
    }
    state.counters["frameBytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void decodeAndValidate(benchmark::State& state, const ControlMessage& message) {
    const auto frame = ControlFrameCodec::encode(message);
    for (auto _ : state) {
        ControlFrameCodec codec;
        auto messages = codec.append(frame);
        if (messages.size() != 1) {
            state.SkipWithError("frame did not yield one message");
            break;
        }
        benchmark::DoNotOptimize(messages.data());
    }
    state.counters["frameBytes"] = static_cast<double>(frame.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}

void BM_EncodeFrameSpeedResult(benchmark::State& state) {
    encodeAndFrame(state, resultMessage());
}
void BM_DecodeValidateSpeedResult(benchmark::State& state) {
    decodeAndValidate(state, resultMessage());
}
void BM_EncodeFrameQualityFinish(benchmark::State& state) {
    encodeAndFrame(state, qualityFinishMessage());
}
void BM_DecodeValidateQualityFinish(benchmark::State& state) {
    decodeAndValidate(state, qualityFinishMessage());
}

BENCHMARK(BM_EncodeFrameSpeedResult);
BENCHMARK(BM_DecodeValidateSpeedResult);
BENCHMARK(BM_EncodeFrameQualityFinish);
BENCHMARK(BM_DecodeValidateQualityFinish);

}  // namespace
}  // namespace sorvanta
