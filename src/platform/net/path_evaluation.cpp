#include "platform/net/path_evaluation.h"

#include <algorithm>

#include "platform/net/route_netlink.h"

namespace sorvanta {

namespace {

bool sameAddress(asio::ip::address a, asio::ip::address b) {
    a = unmapped(a);
    b = unmapped(b);
    if (a.is_v6() && b.is_v6()) {
        auto x = a.to_v6();
        auto y = b.to_v6();
        x.scope_id(0);
        y.scope_id(0);
        return x == y;
    }
    return a == b;
}

const InterfaceInfo* find(const std::vector<InterfaceInfo>& all, int index) {
    for (const auto& info : all) {
        if (info.interface.index == index) {
            return &info;
        }
    }
    return nullptr;
}

}  // namespace

NetworkPath evaluatePath(const NetworkParameters& parameters, const std::optional<Endpoint>& local,
                         const std::optional<Endpoint>& remote) {
    NetworkPath path;
    path.localEndpoint = local;
    path.remoteEndpoint = remote;
    const std::vector<InterfaceInfo> all = listInterfaces();

    const InterfaceInfo* chosen = nullptr;
    if (parameters.requiredInterface) {
        chosen = find(all, parameters.requiredInterface->index);
        if (chosen != nullptr && chosen->interface.name != parameters.requiredInterface->name) {
            chosen = nullptr;  // the index now names another interface
        }
    } else if (remote) {
        if (auto route = lookupRoute(remote->host)) {
            chosen = find(all, route->outputInterface);
        }
    } else if (local && !local->host.is_unspecified()) {
        for (const auto& info : all) {
            for (const auto& address : info.addresses) {
                if (sameAddress(address, local->host)) {
                    chosen = &info;
                }
            }
        }
    }
    if (chosen == nullptr || !parameters.permits(chosen->interface) || !chosen->up ||
        !chosen->carrier) {
        return path;
    }
    if (local && !local->host.is_unspecified()) {
        const bool held =
            std::any_of(chosen->addresses.begin(), chosen->addresses.end(),
                        [&](const asio::ip::address& a) { return sameAddress(a, local->host); });
        if (!held) {
            return path;
        }
    }
    path.status = PathStatus::satisfied;
    path.unsatisfiedReason.reset();
    path.availableInterfaces.push_back(chosen->interface);
    if (remote) {
        if (auto route = lookupRoute(remote->host, chosen->interface.index);
            route && route->gateway) {
            path.gateways.push_back(*route->gateway);
        }
    }
    for (const auto& gateway : gatewaysOn({chosen->interface.index})) {
        if (std::find(path.gateways.begin(), path.gateways.end(), gateway) == path.gateways.end()) {
            path.gateways.push_back(gateway);
        }
    }
    return path;
}

}  // namespace sorvanta
