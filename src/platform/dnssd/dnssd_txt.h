#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sorvanta {

// A service's TXT record as key/value text. Keys are compared case-insensitively, so
// they are kept in lowercase; a key without "=" has the empty value.
using DnssdTxt = std::map<std::string, std::string>;

// Reads the strings of a TXT record: the first occurrence of a key wins, strings with
// an empty key (or that are empty) are skipped.
DnssdTxt txtFromStrings(const std::vector<std::string>& strings);

// The strings of a TXT record for the given pairs, in the given order ("key=value").
std::vector<std::string> txtToStrings(
    const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace sorvanta
