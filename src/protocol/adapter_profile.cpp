#include "protocol/adapter_profile.h"

#include <algorithm>

#include "protocol/known_adapters.h"
#include "protocol/protocol_failure.h"
#include "protocol/safe_text.h"

namespace sorvanta {
namespace {

struct UsbConnection {
    std::uint64_t rate;
    bool slow;  // USB 2 or older: the adapter cannot pass much more than 1 Gbit/s
};

std::optional<UsbConnection> usbConnection(std::optional<int> code) {
    if (!code) {
        return std::nullopt;
    }
    switch (*code) {
        case 1:
            return UsbConnection{12'000'000, true};
        case 2:
            return UsbConnection{1'500'000, true};
        case 3:
            return UsbConnection{480'000'000, true};
        case 4:
            return UsbConnection{5'000'000'000, false};
        case 5:
            return UsbConnection{10'000'000'000, false};
        case 6:
            return UsbConnection{20'000'000'000, false};
        default:
            return std::nullopt;
    }
}

constexpr std::uint64_t slowBusCeiling = 1'000'000'000;
constexpr std::uint64_t lowestRate = 10'000'000;
constexpr std::uint64_t highestRate = 400'000'000'000;
constexpr std::uint64_t lowestConnection = 1'000'000;
constexpr std::uint64_t highestConnection = 200'000'000'000;
constexpr std::size_t longestChipName = 64;

}  // namespace

AdapterProfile AdapterProfile::fromIdentity(const HardwareIdentity& identity) {
    AdapterProfile profile;
    const auto bus = usbConnection(identity.usbSpeed);
    if (bus) {
        profile.connection = bus->rate;
    }
    const auto row = KnownAdapters::chip(identity);
    if (!row) {
        return profile;
    }
    profile.maximum = row->maximum;
    profile.chip = row->name;
    std::uint64_t assured = row->assured.value_or(row->maximum);
    if (bus && bus->slow) {
        assured = std::min(assured, slowBusCeiling);
    }
    profile.assured = assured;
    return profile;
}

void AdapterProfile::validate() const {
    if (maximum && (*maximum < lowestRate || *maximum > highestRate)) {
        throw ProtocolFailure::malformed;
    }
    if (connection && (*connection < lowestConnection || *connection > highestConnection)) {
        throw ProtocolFailure::malformed;
    }
    if (!chip) {
        if (maximum || assured) {
            throw ProtocolFailure::malformed;
        }
        return;
    }
    if (chip->empty() || chip->size() > longestChipName || !isSafeText(*chip)) {
        throw ProtocolFailure::malformed;
    }
    if (!maximum || !assured || *assured < lowestRate || *assured > *maximum) {
        throw ProtocolFailure::malformed;
    }
}

AdapterProfile AdapterProfile::fromJson(const json::ObjectReader& r) {
    return AdapterProfile{
        .maximum = r.optional<std::uint64_t>("maximum"),
        .assured = r.optional<std::uint64_t>("assured"),
        .chip = r.optional<std::string>("chip"),
        .connection = r.optional<std::uint64_t>("connection"),
    };
}

void AdapterProfile::toJson(json::ObjectWriter& w) const {
    w.field("maximum", maximum);
    w.field("assured", assured);
    w.field("chip", chip);
    w.field("connection", connection);
}

}  // namespace sorvanta
