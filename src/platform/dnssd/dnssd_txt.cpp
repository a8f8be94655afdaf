#include "platform/dnssd/dnssd_txt.h"

namespace sorvanta {

DnssdTxt txtFromStrings(const std::vector<std::string>& strings) {
    DnssdTxt txt;
    for (const auto& entry : strings) {
        const auto equals = entry.find('=');
        std::string key = entry.substr(0, equals);
        if (key.empty()) {
            continue;
        }
        for (char& c : key) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        std::string value = equals == std::string::npos ? std::string() : entry.substr(equals + 1);
        txt.emplace(std::move(key), std::move(value));  // keeps the first occurrence
    }
    return txt;
}

std::vector<std::string> txtToStrings(
    const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<std::string> strings;
    strings.reserve(pairs.size());
    for (const auto& [key, value] : pairs) {
        strings.push_back(key + "=" + value);
    }
    return strings;
}

}  // namespace sorvanta
