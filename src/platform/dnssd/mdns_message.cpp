#include "platform/dnssd/mdns_message.h"

#include <algorithm>
#include <map>

#include "platform/dnssd/mdns_record_key.h"

namespace sorvanta {

namespace {

constexpr std::size_t maxNameLength = 255;
constexpr std::size_t maxLabels = 128;
constexpr std::size_t maxRecordsPerSection = 256;
constexpr std::size_t headerSize = 12;

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool labelEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value >> 16));
    put16(out, static_cast<std::uint16_t>(value));
}

void putNameUncompressed(std::vector<std::uint8_t>& out, const MdnsName& name) {
    for (const auto& label : name.labels) {
        out.push_back(static_cast<std::uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
}

// Reads big-endian fields and names from a received packet, never past its end.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> packet) : packet_(packet) {}

    bool u16(std::size_t& pos, std::uint16_t& value) const {
        if (pos + 2 > packet_.size()) {
            return false;
        }
        value = static_cast<std::uint16_t>((packet_[pos] << 8) | packet_[pos + 1]);
        pos += 2;
        return true;
    }

    bool u32(std::size_t& pos, std::uint32_t& value) const {
        std::uint16_t high = 0;
        std::uint16_t low = 0;
        if (!u16(pos, high) || !u16(pos, low)) {
            return false;
        }
        value = (static_cast<std::uint32_t>(high) << 16) | low;
        return true;
    }

    // Reads a possibly compressed name starting at `pos`, which moves past the name's
    // bytes at that place. Every pointer must point strictly before the start of the
    // run of labels it was found in, so each jump goes further back and a loop is
    // impossible.
    MdnsParseError name(std::size_t& pos, MdnsName& name) const {
        name.labels.clear();
        std::size_t cursor = pos;
        std::size_t segmentStart = pos;
        bool jumped = false;
        std::size_t length = 1;
        while (true) {
            if (cursor >= packet_.size()) {
                return MdnsParseError::truncated;
            }
            const std::uint8_t byte = packet_[cursor];
            if (byte == 0) {
                ++cursor;
                break;
            }
            if ((byte & 0xC0) == 0xC0) {
                if (cursor + 1 >= packet_.size()) {
                    return MdnsParseError::truncated;
                }
                const std::size_t target =
                    (static_cast<std::size_t>(byte & 0x3F) << 8) | packet_[cursor + 1];
                if (target >= segmentStart) {
                    return MdnsParseError::badPointer;
                }
                if (!jumped) {
                    pos = cursor + 2;
                    jumped = true;
                }
                cursor = target;
                segmentStart = target;
                continue;
            }
            if ((byte & 0xC0) != 0) {
                return MdnsParseError::badLabel;
            }
            if (cursor + 1 + byte > packet_.size()) {
                return MdnsParseError::truncated;
            }
            length += byte + 1u;
            if (length > maxNameLength || name.labels.size() >= maxLabels) {
                return MdnsParseError::nameTooLong;
            }
            name.labels.emplace_back(reinterpret_cast<const char*>(&packet_[cursor + 1]), byte);
            cursor += 1u + byte;
        }
        if (!jumped) {
            pos = cursor;
        }
        return MdnsParseError::none;
    }

    std::span<const std::uint8_t> bytes(std::size_t pos, std::size_t count) const {
        return packet_.subspan(pos, count);
    }
    std::size_t size() const { return packet_.size(); }

  private:
    std::span<const std::uint8_t> packet_;
};

// Turns the received rdata of a record into its uncompressed form, checking that the
// data fits its type and fills exactly the stated length.
MdnsParseError readRdata(const Reader& reader, std::size_t pos, std::size_t length,
                         MdnsRecord& record) {
    const std::size_t end = pos + length;
    // The name that ends the rdata of PTR and SRV, appended uncompressed.
    auto appendTarget = [&](std::size_t at) {
        MdnsName target;
        if (auto e = reader.name(at, target); e != MdnsParseError::none) {
            return e;
        }
        if (at != end) {
            return MdnsParseError::badRdata;
        }
        putNameUncompressed(record.rdata, target);
        return MdnsParseError::none;
    };
    record.rdata.clear();
    switch (record.type) {
        case mdns::typePtr:
            return appendTarget(pos);
        case mdns::typeSrv: {
            if (length < 7) {
                return MdnsParseError::badRdata;
            }
            auto fixed = reader.bytes(pos, 6);
            record.rdata.assign(fixed.begin(), fixed.end());
            return appendTarget(pos + 6);
        }
        case mdns::typeTxt: {
            auto data = reader.bytes(pos, length);
            std::size_t at = 0;
            while (at < data.size()) {
                at += 1u + data[at];
            }
            if (at != data.size()) {
                return MdnsParseError::badRdata;
            }
            record.rdata.assign(data.begin(), data.end());
            if (record.rdata.empty()) {
                record.rdata.push_back(0);  // an empty TXT record holds one empty string
            }
            return MdnsParseError::none;
        }
        case mdns::typeA:
        case mdns::typeAaaa:
            if (length != (record.type == mdns::typeA ? 4u : 16u)) {
                return MdnsParseError::badRdata;
            }
            [[fallthrough]];
        default: {
            auto data = reader.bytes(pos, length);
            record.rdata.assign(data.begin(), data.end());
            return MdnsParseError::none;
        }
    }
}

MdnsParseError readRecord(const Reader& reader, std::size_t& pos, MdnsRecord& record) {
    if (auto e = reader.name(pos, record.name); e != MdnsParseError::none) {
        return e;
    }
    std::uint16_t rrclass = 0;
    std::uint16_t length = 0;
    if (!reader.u16(pos, record.type) || !reader.u16(pos, rrclass) ||
        !reader.u32(pos, record.ttl) || !reader.u16(pos, length)) {
        return MdnsParseError::truncated;
    }
    record.cacheFlush = (rrclass & 0x8000) != 0;
    record.rrclass = rrclass & 0x7FFF;
    if (pos + length > reader.size()) {
        return MdnsParseError::truncated;
    }
    if (auto e = readRdata(reader, pos, length, record); e != MdnsParseError::none) {
        return e;
    }
    pos += length;
    return MdnsParseError::none;
}

// Writes names with compression: every suffix written at an offset a pointer can
// reach is remembered by its lowercase text.
class Writer {
  public:
    std::vector<std::uint8_t> out;

    void name(const MdnsName& name) {
        for (std::size_t i = 0; i < name.labels.size(); ++i) {
            const std::string key = mdnsNameKey(name, i);
            if (auto found = offsets_.find(key); found != offsets_.end()) {
                put16(out, static_cast<std::uint16_t>(0xC000 | found->second));
                return;
            }
            if (out.size() < 0x3FFF) {
                offsets_.emplace(key, out.size());
            }
            out.push_back(static_cast<std::uint8_t>(name.labels[i].size()));
            out.insert(out.end(), name.labels[i].begin(), name.labels[i].end());
        }
        out.push_back(0);
    }

    void record(const MdnsRecord& record) {
        name(record.name);
        put16(out, record.type);
        put16(out, static_cast<std::uint16_t>(record.rrclass | (record.cacheFlush ? 0x8000 : 0)));
        put32(out, record.ttl);
        const std::size_t lengthAt = out.size();
        put16(out, 0);
        if (record.type == mdns::typePtr && record.ptrTarget()) {
            name(*record.ptrTarget());
        } else if (auto srv = record.type == mdns::typeSrv ? record.srvData() : std::nullopt) {
            out.insert(out.end(), record.rdata.begin(), record.rdata.begin() + 6);
            name(srv->target);
        } else {
            out.insert(out.end(), record.rdata.begin(), record.rdata.end());
        }
        const std::size_t length = out.size() - lengthAt - 2;
        out[lengthAt] = static_cast<std::uint8_t>(length >> 8);
        out[lengthAt + 1] = static_cast<std::uint8_t>(length);
    }

    // Forgets everything written from `size` on.
    void rollback(std::size_t size) {
        out.resize(size);
        std::erase_if(offsets_, [size](const auto& entry) { return entry.second >= size; });
    }

  private:
    std::map<std::string, std::size_t> offsets_;
};

}  // namespace

MdnsName MdnsName::fromText(std::string_view text) {
    MdnsName name;
    std::string label;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            const char next = text[i + 1];
            if (next >= '0' && next <= '9' && i + 3 < text.size()) {
                label += static_cast<char>((next - '0') * 100 + (text[i + 2] - '0') * 10 +
                                           (text[i + 3] - '0'));
                i += 3;
            } else {
                label += next;
                ++i;
            }
        } else if (c == '.') {
            if (!label.empty()) {
                name.labels.push_back(std::move(label));
            }
            label.clear();
        } else {
            label += c;
        }
    }
    if (!label.empty()) {
        name.labels.push_back(std::move(label));
    }
    return name;
}

std::string MdnsName::text() const {
    std::string out;
    for (const auto& label : labels) {
        for (unsigned char c : label) {
            if (c == '.' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                out += '\\';
                out += static_cast<char>('0' + c / 100);
                out += static_cast<char>('0' + (c / 10) % 10);
                out += static_cast<char>('0' + c % 10);
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '.';
    }
    return out.empty() ? "." : out;
}

MdnsName MdnsName::prefixed(std::string label) const {
    MdnsName name;
    name.labels.reserve(labels.size() + 1);
    name.labels.push_back(std::move(label));
    name.labels.insert(name.labels.end(), labels.begin(), labels.end());
    return name;
}

bool MdnsName::isChildOf(const MdnsName& suffix) const {
    if (labels.size() != suffix.labels.size() + 1) {
        return false;
    }
    return std::equal(suffix.labels.begin(), suffix.labels.end(), labels.begin() + 1, labelEqual);
}

std::size_t MdnsName::wireLength() const {
    std::size_t length = 1;
    for (const auto& label : labels) {
        length += label.size() + 1;
    }
    return length;
}

bool MdnsName::valid() const {
    return wireLength() <= maxNameLength &&
           std::all_of(labels.begin(), labels.end(),
                       [](const std::string& l) { return !l.empty() && l.size() <= 63; });
}

bool MdnsName::operator==(const MdnsName& other) const {
    return std::equal(labels.begin(), labels.end(), other.labels.begin(), other.labels.end(),
                      labelEqual);
}

MdnsRecord MdnsRecord::ptr(MdnsName name, const MdnsName& target, std::uint32_t ttl) {
    MdnsRecord record{std::move(name), mdns::typePtr, mdns::classIn, false, ttl, {}};
    putNameUncompressed(record.rdata, target);
    return record;
}

MdnsRecord MdnsRecord::srv(MdnsName name, const MdnsSrv& srv, std::uint32_t ttl) {
    MdnsRecord record{std::move(name), mdns::typeSrv, mdns::classIn, false, ttl, {}};
    put16(record.rdata, srv.priority);
    put16(record.rdata, srv.weight);
    put16(record.rdata, srv.port);
    putNameUncompressed(record.rdata, srv.target);
    return record;
}

MdnsRecord MdnsRecord::txt(MdnsName name, const std::vector<std::string>& strings,
                           std::uint32_t ttl) {
    MdnsRecord record{std::move(name), mdns::typeTxt, mdns::classIn, false, ttl, {}};
    for (const auto& s : strings) {
        const std::size_t size = std::min<std::size_t>(s.size(), 255);
        record.rdata.push_back(static_cast<std::uint8_t>(size));
        record.rdata.insert(record.rdata.end(), s.begin(), s.begin() + size);
    }
    if (record.rdata.empty()) {
        record.rdata.push_back(0);
    }
    return record;
}

MdnsRecord MdnsRecord::a(MdnsName name, const std::array<std::uint8_t, 4>& address,
                         std::uint32_t ttl) {
    return {
        std::move(name), mdns::typeA, mdns::classIn,
        false,           ttl,         std::vector<std::uint8_t>(address.begin(), address.end())};
}

MdnsRecord MdnsRecord::aaaa(MdnsName name, const std::array<std::uint8_t, 16>& address,
                            std::uint32_t ttl) {
    return {std::move(name),
            mdns::typeAaaa,
            mdns::classIn,
            false,
            ttl,
            std::vector<std::uint8_t>(address.begin(), address.end())};
}

std::optional<MdnsName> MdnsRecord::ptrTarget() const {
    if (type != mdns::typePtr) {
        return std::nullopt;
    }
    std::size_t pos = 0;
    MdnsName target;
    if (Reader(rdata).name(pos, target) != MdnsParseError::none || pos != rdata.size()) {
        return std::nullopt;
    }
    return target;
}

std::optional<MdnsSrv> MdnsRecord::srvData() const {
    if (type != mdns::typeSrv || rdata.size() < 7) {
        return std::nullopt;
    }
    Reader reader(rdata);
    MdnsSrv srv;
    std::size_t pos = 0;
    reader.u16(pos, srv.priority);
    reader.u16(pos, srv.weight);
    reader.u16(pos, srv.port);
    if (reader.name(pos, srv.target) != MdnsParseError::none || pos != rdata.size()) {
        return std::nullopt;
    }
    return srv;
}

std::optional<std::vector<std::string>> MdnsRecord::txtStrings() const {
    if (type != mdns::typeTxt) {
        return std::nullopt;
    }
    std::vector<std::string> strings;
    std::size_t at = 0;
    while (at < rdata.size()) {
        const std::size_t size = rdata[at];
        if (at + 1 + size > rdata.size()) {
            return std::nullopt;
        }
        strings.emplace_back(reinterpret_cast<const char*>(rdata.data() + at + 1), size);
        at += 1 + size;
    }
    return strings;
}

std::optional<std::array<std::uint8_t, 4>> MdnsRecord::aAddress() const {
    if (type != mdns::typeA || rdata.size() != 4) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 4> address{};
    std::copy(rdata.begin(), rdata.end(), address.begin());
    return address;
}

std::optional<std::array<std::uint8_t, 16>> MdnsRecord::aaaaAddress() const {
    if (type != mdns::typeAaaa || rdata.size() != 16) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> address{};
    std::copy(rdata.begin(), rdata.end(), address.begin());
    return address;
}

bool MdnsRecord::sameData(const MdnsRecord& other) const {
    if (type != other.type || rrclass != other.rrclass || rdata.size() != other.rdata.size() ||
        !(name == other.name)) {
        return false;
    }
    if (rdata == other.rdata) {
        return true;
    }
    if (type == mdns::typeSrv &&
        !std::equal(rdata.begin(), rdata.begin() + std::min<std::size_t>(6, rdata.size()),
                    other.rdata.begin())) {
        return false;
    }
    // Names inside PTR and SRV data compare case-insensitively like any other name.
    if (type == mdns::typePtr) {
        return ptrTarget() == other.ptrTarget();
    }
    if (type == mdns::typeSrv) {
        auto mine = srvData();
        auto theirs = other.srvData();
        return mine && theirs && mine->priority == theirs->priority &&
               mine->weight == theirs->weight && mine->port == theirs->port &&
               mine->target == theirs->target;
    }
    return rdata == other.rdata;
}

const char* toText(MdnsParseError error) {
    switch (error) {
        case MdnsParseError::none:
            return "none";
        case MdnsParseError::truncated:
            return "truncated";
        case MdnsParseError::tooLarge:
            return "too large";
        case MdnsParseError::tooManyRecords:
            return "too many records";
        case MdnsParseError::badLabel:
            return "bad label";
        case MdnsParseError::badPointer:
            return "bad compression pointer";
        case MdnsParseError::nameTooLong:
            return "name too long";
        case MdnsParseError::badRdata:
            return "bad record data";
    }
    return "unknown";
}

std::optional<MdnsMessage> parseMdnsMessage(std::span<const std::uint8_t> packet,
                                            MdnsParseError* error) {
    auto fail = [error](MdnsParseError e) -> std::optional<MdnsMessage> {
        if (error != nullptr) {
            *error = e;
        }
        return std::nullopt;
    };
    if (packet.size() > mdns::maxMessageSize) {
        return fail(MdnsParseError::tooLarge);
    }
    if (packet.size() < headerSize) {
        return fail(MdnsParseError::truncated);
    }
    Reader reader(packet);
    MdnsMessage message;
    std::size_t pos = 0;
    std::uint16_t counts[4] = {};
    reader.u16(pos, message.id);
    reader.u16(pos, message.flags);
    for (auto& count : counts) {
        reader.u16(pos, count);
    }
    // A question takes at least 5 bytes and a record at least 11: counts the packet
    // cannot hold are refused before anything is allocated.
    const std::size_t records = std::size_t{counts[1]} + counts[2] + counts[3];
    if (counts[0] > maxRecordsPerSection || counts[1] > maxRecordsPerSection ||
        counts[2] > maxRecordsPerSection || counts[3] > maxRecordsPerSection ||
        std::size_t{counts[0]} * 5 + records * 11 > packet.size() - headerSize) {
        return fail(MdnsParseError::tooManyRecords);
    }
    message.questions.resize(counts[0]);
    for (auto& question : message.questions) {
        if (auto e = reader.name(pos, question.name); e != MdnsParseError::none) {
            return fail(e);
        }
        std::uint16_t qclass = 0;
        if (!reader.u16(pos, question.type) || !reader.u16(pos, qclass)) {
            return fail(MdnsParseError::truncated);
        }
        question.unicastResponse = (qclass & 0x8000) != 0;
        question.qclass = qclass & 0x7FFF;
    }
    std::vector<MdnsRecord>* sections[3] = {&message.answers, &message.authorities,
                                            &message.additionals};
    for (int s = 0; s < 3; ++s) {
        sections[s]->resize(counts[s + 1]);
        for (auto& record : *sections[s]) {
            if (auto e = readRecord(reader, pos, record); e != MdnsParseError::none) {
                return fail(e);
            }
        }
    }
    if (error != nullptr) {
        *error = MdnsParseError::none;
    }
    return message;
}

std::vector<std::uint8_t> encodeMdnsMessage(const MdnsMessage& message, std::size_t limit) {
    Writer writer;
    writer.out.reserve(512);
    put16(writer.out, message.id);
    put16(writer.out, message.flags);
    put16(writer.out, static_cast<std::uint16_t>(message.questions.size()));
    for (int i = 0; i < 3; ++i) {
        put16(writer.out, 0);
    }
    for (const auto& question : message.questions) {
        writer.name(question.name);
        put16(writer.out, question.type);
        put16(writer.out, static_cast<std::uint16_t>(question.qclass |
                                                     (question.unicastResponse ? 0x8000 : 0)));
    }
    const std::vector<MdnsRecord>* sections[3] = {&message.answers, &message.authorities,
                                                  &message.additionals};
    bool full = false;
    for (int s = 0; s < 3; ++s) {
        std::uint16_t written = 0;
        for (const auto& record : *sections[s]) {
            if (full) {
                break;
            }
            const std::size_t before = writer.out.size();
            writer.record(record);
            if (writer.out.size() > limit) {
                writer.rollback(before);
                full = true;
                break;
            }
            ++written;
        }
        writer.out[6 + 2 * s] = static_cast<std::uint8_t>(written >> 8);
        writer.out[7 + 2 * s] = static_cast<std::uint8_t>(written);
    }
    return writer.out;
}

}  // namespace sorvanta
