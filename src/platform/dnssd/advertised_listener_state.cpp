#include "platform/dnssd/advertised_listener_state.h"

namespace sorvanta {

ListenerState advertisedListenerState(const ListenerState& listener, const DnssdState& advertiser,
                                      bool registered) {
    using Kind = ListenerState::Kind;
    if (listener.kind == Kind::failed) {
        return listener;
    }
    if (advertiser.kind == DnssdState::Kind::failed) {
        return {Kind::failed, advertiser.error, 0};
    }
    if (listener.kind == Kind::waiting) {
        return listener;
    }
    if (advertiser.kind == DnssdState::Kind::waiting) {
        return {Kind::waiting, advertiser.error, 0};
    }
    if (listener.kind == Kind::ready && advertiser.kind == DnssdState::Kind::ready && registered) {
        return listener;
    }
    return {};
}

}  // namespace sorvanta
