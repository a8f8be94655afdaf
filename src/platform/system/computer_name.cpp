#include "platform/system/computer_name.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace sorvanta {
namespace {

constexpr std::string_view blanks = " \t\r";

// Unquotes a shell-style value: double quotes keep backslash escapes of ", \, $ and `;
// single quotes keep everything; outside quotes a backslash escapes any character.
std::string unquote(std::string_view value) {
    std::string text;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        const bool escaped = c == '\\' && i + 1 < value.size();
        if (quote == '\'') {
            if (c == '\'') {
                quote = 0;
            } else {
                text += c;
            }
        } else if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else if (escaped &&
                       std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos) {
                text += value[++i];
            } else {
                text += c;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (escaped) {
            text += value[++i];
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace

std::optional<std::string> prettyHostname(std::string_view machineInfo) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    while (!machineInfo.empty()) {
        const auto end = machineInfo.find('\n');
        auto line = machineInfo.substr(0, end);
        machineInfo.remove_prefix(end == std::string_view::npos ? machineInfo.size() : end + 1);
        line.remove_prefix(std::min(line.find_first_not_of(blanks), line.size()));
        line = line.substr(0, line.find_last_not_of(blanks) + 1);
        if (line.starts_with(key)) {
            // A later assignment replaces an earlier one.
            found = unquote(line.substr(key.size()));
        }
    }
    if (!found || found->empty()) {
        return std::nullopt;
    }
    return found;
}

std::optional<std::string> computerName() {
    std::ifstream in("/etc/machine-info", std::ios::binary);
    if (in) {
        std::string text;
        text.resize(64 * 1024);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        if (auto pretty = prettyHostname(text)) {
            return pretty;
        }
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        return std::nullopt;
    }
    return std::string(host);
}

}  // namespace sorvanta
