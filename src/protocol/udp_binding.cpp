#include "protocol/udp_binding.h"

#include "protocol/udp_rules.h"

namespace sorvanta {

void UDPBinding::validate() const {
    udp_rules::require(isLeg(leg));
    udp_rules::require(token.size() == tokenBytes);
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
