#pragma once

#include <chrono>
#include <string>

#include "assessment/presentation/result_history.h"
#include "service/netns/service_node.h"

namespace sorvanta::testing {

// One whole copy of the system inside a namespace: the network service with the real Quick
// Test engines (their network objects made by `engines`, the system's own when absent), its
// hardware reader admitting one device as a wired adapter with the link the scenario sets.
// Its snapshots pass through the result history as the model does.
class E2eNode : public ServiceNode {
  public:
    E2eNode(const std::string& ns, const std::string& device, int index, std::string name,
            LinkReading link, std::shared_ptr<NetworkFactory> engines = nullptr)
        : ServiceNode(ns, e2eOptions(device, index, std::move(name), link, std::move(engines))),
          device_(device) {}

    const std::string& device() const { return device_; }

  private:
    static Options e2eOptions(const std::string& device, int index, std::string name,
                              LinkReading link, std::shared_ptr<NetworkFactory> engines) {
        Options options = ServiceNode::options(
            {{device, index}}, std::move(name), 0,
            realRuns(std::make_shared<FakeLowPowerSource>(), std::move(engines)));
        options.link = link;
        options.shown = [history = ResultHistory()](const ServiceSnapshot& snapshot) mutable {
            return history.update(snapshot, std::chrono::system_clock::now());
        };
        options.closeGrace = std::chrono::milliseconds(200);
        return options;
    }

    std::string device_;
};

inline bool runEnded(const ServiceSnapshot& s) {
    using Phase = SpeedSnapshot::Phase;
    return !s.speed.busy && s.speed.run &&
           (s.speed.phase == Phase::complete || s.speed.phase == Phase::cancelled ||
            s.speed.phase == Phase::failed);
}

}  // namespace sorvanta::testing
