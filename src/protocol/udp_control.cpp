#include "protocol/udp_control.h"

#include "protocol/udp_binding.h"
#include "protocol/udp_rules.h"

namespace sorvanta {

using namespace udp_rules;

void UDPControl::validate() const {
    require(UDPBinding::isLeg(leg));
    require(!port || *port != 0);
    require(!token || token->size() == UDPBinding::tokenBytes);
    require(!progress || isCountWithin(*progress, maximumProgress));
    require(!path || path->size() <= maximumPathBytes);
    if (send) {
        send->validate();
    }
    if (result) {
        result->validate();
    }
}

UDPControl UDPControl::fromJson(const json::ObjectReader& r) {
    return {r.required<Uuid>("probe"),
            r.required<std::int64_t>("leg"),
            r.optional<std::uint16_t>("port"),
            r.optional<std::vector<std::uint8_t>>("token"),
            r.optional<std::int64_t>("progress"),
            r.optional<UDPSendSummary>("send"),
            r.optional<UDPObservation>("result"),
            r.optional<std::string>("path")};
}

void UDPControl::toJson(json::ObjectWriter& w) const {
    w.field("probe", probe);
    w.field("leg", leg);
    w.field("port", port);
    w.field("token", token);
    w.field("progress", progress);
    w.field("send", send);
    w.field("result", result);
    w.field("path", path);
}

}  // namespace sorvanta
