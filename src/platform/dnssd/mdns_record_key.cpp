#include "platform/dnssd/mdns_record_key.h"

namespace sorvanta {

namespace {

char folded(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string mdnsNameKey(const MdnsName& name) {
    std::string key;
    for (const auto& label : name.labels) {
        key += static_cast<char>(label.size());
        for (char c : label) {
            key += folded(c);
        }
    }
    return key;
}

std::string mdnsDataKey(const MdnsRecord& record) {
    std::string key = mdnsNameKey(record.name);
    key += '\0';
    for (std::uint16_t value : {record.type, record.rrclass}) {
        key += static_cast<char>(value >> 8);
        key += static_cast<char>(value & 0xFF);
    }
    // Folding all of the data covers the names inside PTR and SRV data, which compare in any
    // letter case; for other types it only makes more records share a key.
    for (std::uint8_t byte : record.rdata) {
        key += folded(static_cast<char>(byte));
    }
    return key;
}

}  // namespace sorvanta
