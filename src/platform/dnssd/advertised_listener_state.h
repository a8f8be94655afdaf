#pragma once

#include "platform/dnssd/dnssd_state.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// The one state of a TCP listener advertised with DNS-SD, from its two halves: ready (with
// the listener's port) only when the listener is ready and the service is registered;
// failed when either half failed; waiting when either half waits (advertising cannot
// start yet, e.g. no interface is up); setup otherwise. The listener's own fault is
// reported before the advertisement's.
ListenerState advertisedListenerState(const ListenerState& listener, const DnssdState& advertiser,
                                      bool registered);

}  // namespace sorvanta
