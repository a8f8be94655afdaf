#pragma once

#include <optional>

#include "platform/net/network_endpoint.h"
#include "platform/net/network_parameters.h"
#include "platform/net/network_path.h"

namespace sorvanta {

// Reads from the kernel the path that traffic between `local` and `remote` takes under
// `parameters`, in the calling thread's network namespace. The path's interface is the
// required one when the parameters pin one, else the one the routing table chooses for
// `remote` (or the one holding `local`). The path is satisfied when that interface is
// permitted, up, has carrier and still holds the local address. Gateways are the router on
// the way to `remote` and any router reached through the interface.
NetworkPath evaluatePath(const NetworkParameters& parameters, const std::optional<Endpoint>& local,
                         const std::optional<Endpoint>& remote);

}  // namespace sorvanta
