#pragma once

#include <string>
#include <vector>

#include "lab/netns_lab.h"

namespace sorvanta::testing {

// Hosts on one bridge in a hub namespace, each with one veth into it and link-local
// addresses 169.254.<net>.<n>/16 and fe80::<n>/64.
struct BridgeLab {
    NetnsLab lab;
    std::string hub;
    std::vector<std::string> hosts;
    std::vector<NetnsLab::Link> links;  // nameA in the host, nameB in the hub
    int net = 100 + ::getpid() % 100;

    explicit BridgeLab(int count) {
        hub = lab.addNamespace("hub");
        lab.ip(hub, "link add br0 type bridge");
        lab.ip(hub, "link set br0 up");
        for (int i = 0; i < count; ++i) {
            addHost();
        }
    }
    std::string address(int n) const {
        return "169.254." + std::to_string(net) + "." + std::to_string(n);
    }
    void addHost() {
        const int n = static_cast<int>(hosts.size()) + 1;
        hosts.push_back(lab.addNamespace("h" + std::to_string(n)));
        links.push_back(lab.addLink(hosts.back(), hub));
        lab.ip(hub, "link set " + links.back().nameB + " master br0");
        lab.ip(hosts.back(), "addr add " + address(n) + "/16 dev " + links.back().nameA);
        lab.ip(hosts.back(), "-6 addr add fe80::" + std::to_string(n) + "/64 dev " +
                                 links.back().nameA + " nodad");
    }
    std::vector<std::pair<std::string, int>> adapter(int host) const {
        return {{links[host].nameA, links[host].indexA}};
    }
};

}  // namespace sorvanta::testing
