#include "protocol/canonical_control_writer.h"

#include <charconv>
#include <cmath>
#include <concepts>
#include <string_view>

#include "support/json_document.h"

namespace sorvanta {

namespace {

// Appends one object's text; the caller writes the keys in sorted order, the order in
// which the strict encoder's objects hold them.
class ObjectText {
  public:
    explicit ObjectText(std::string& out) : out_(out) { out_ += '{'; }
    ~ObjectText() { out_ += '}'; }
    ObjectText(const ObjectText&) = delete;
    ObjectText& operator=(const ObjectText&) = delete;

    // Writes the key and returns the text to append its value to.
    std::string& key(std::string_view name) {
        out_ += first_ ? "\"" : ",\"";
        first_ = false;
        out_ += name;
        out_ += "\":";
        return out_;
    }

  private:
    std::string& out_;
    bool first_ = true;
};

template <std::integral T>
void appendInteger(std::string& out, T value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// Only for text that needs no escaping: case names and UUIDs.
void appendPlain(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

bool isFinite(const SpeedSample& sample) {
    if (!std::isfinite(sample.seconds) ||
        (sample.rollingBps && !std::isfinite(*sample.rollingBps))) {
        return false;
    }
    for (const auto& interval : sample.intervals) {
        if (!std::isfinite(interval.start) || !std::isfinite(interval.end)) {
            return false;
        }
    }
    return true;
}

void appendInterval(std::string& out, const ThroughputInterval& interval) {
    ObjectText object(out);
    appendInteger(object.key("bytes"), interval.bytes);
    json::appendNumber(object.key("end"), interval.end);
    json::appendNumber(object.key("start"), interval.start);
}

void appendSample(std::string& out, const SpeedSample& sample) {
    ObjectText object(out);
    appendInteger(object.key("bytes"), sample.bytes);
    auto& intervals = object.key("intervals");
    intervals += '[';
    for (std::size_t i = 0; i < sample.intervals.size(); ++i) {
        if (i > 0) {
            intervals += ',';
        }
        appendInterval(intervals, sample.intervals[i]);
    }
    intervals += ']';
    object.key("measuring") += sample.measuring ? "true" : "false";
    if (sample.rollingBps) {
        json::appendNumber(object.key("rollingBps"), *sample.rollingBps);
    }
    json::appendNumber(object.key("seconds"), sample.seconds);
}

void appendSpeed(std::string& out, const SpeedMessage& speed) {
    ObjectText object(out);
    appendPlain(object.key("kind"), json::enumName(speed.kind));
    appendInteger(object.key("measurementMilliseconds"), speed.measurementMilliseconds);
    appendPlain(object.key("profile"), json::enumName(speed.profile));
    appendPlain(object.key("run"), speed.run.text());
    if (speed.sample) {
        appendSample(object.key("sample"), *speed.sample);
    }
    appendPlain(object.key("sender"), speed.sender.text());
    appendInteger(object.key("stage"), speed.stage);
    appendInteger(object.key("streams"), speed.streams);
    appendInteger(object.key("warmupMilliseconds"), speed.warmupMilliseconds);
}

// Names the strict encoder would write as text; an unnamed value it refuses.
template <class E>
bool isNamed(E value) {
    return !json::enumName(value).empty();
}

}  // namespace

std::optional<std::string> writeCanonicalControl(const ControlMessage& message) {
    if (message.kind != ControlMessage::Kind::speed || !message.speed || message.name ||
        message.nonce || message.payload || message.length || message.digest || message.reason ||
        message.adapter || message.lowPower) {
        return std::nullopt;
    }
    const SpeedMessage& speed = *message.speed;
    if (speed.port || speed.token || speed.issue || speed.transport || speed.udp ||
        speed.qualityReason || speed.ethernet || speed.end || speed.endDetail ||
        !isNamed(speed.kind) || !isNamed(speed.profile)) {
        return std::nullopt;
    }
    if (speed.sample && (speed.sample->seriesReason || !isFinite(*speed.sample))) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(speed.sample ? 400 + 80 * speed.sample->intervals.size() : 400);
    {
        ObjectText object(out);
        appendPlain(object.key("instance"), message.instance.text());
        appendPlain(object.key("kind"), json::enumName(message.kind));
        appendPlain(object.key("session"), message.session.text());
        appendSpeed(object.key("speed"), speed);
        appendInteger(object.key("version"), message.version);
    }
    return out;
}

}  // namespace sorvanta
