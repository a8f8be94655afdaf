#include "platform/dnssd/mdns_record_key.h"

namespace sorvanta {

namespace {

char folded(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string mdnsNameKey(const MdnsName& name, std::size_t fromLabel) {
    std::string key;
    for (std::size_t i = fromLabel; i < name.labels.size(); ++i) {
        key += static_cast<char>(name.labels[i].size());
        for (char c : name.labels[i]) {
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
