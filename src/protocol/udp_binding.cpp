#include "protocol/udp_binding.h"

#include <algorithm>

#include "protocol/udp_rules.h"

namespace sorvanta {

void UDPBinding::validate() const {
    udp_rules::require(isLeg(leg));
    udp_rules::require(token.size() == tokenBytes);
}

UDPBinding::Prefix UDPBinding::datagramPrefix() const {
    Prefix prefix{'S', 'V', 'U', '5', 0x05, 0x00};
    auto out = prefix.begin() + 6;
    for (const Uuid* id : {&run, &session, &probe, &sender}) {
        out = std::copy(id->bytes().begin(), id->bytes().end(), out);
    }
    // A token of another length is refused by validate(); never write past the prefix.
    const auto tokenEnd =
        token.begin() + static_cast<std::ptrdiff_t>(std::min(token.size(), tokenBytes));
    out = std::copy(token.begin(), tokenEnd, out);
    prefix.back() = static_cast<std::uint8_t>(leg);
    return prefix;
}

UDPBinding UDPBinding::fromJson(const json::ObjectReader& r) {
    return {r.required<Uuid>("run"),         r.required<Uuid>("session"),
            r.required<Uuid>("probe"),       r.required<Uuid>("sender"),
            r.required<std::int64_t>("leg"), r.required<std::vector<std::uint8_t>>("token")};
}

void UDPBinding::toJson(json::ObjectWriter& w) const {
    w.field("run", run);
    w.field("session", session);
    w.field("probe", probe);
    w.field("sender", sender);
    w.field("leg", leg);
    w.field("token", token);
}

}  // namespace sorvanta
