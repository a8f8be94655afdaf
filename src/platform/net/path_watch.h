#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/net/network_executor.h"
#include "platform/net/network_path.h"

namespace sorvanta {

class RouteWatcher;

// The path of a connected socket and its viability: keeps the latest evaluation, follows link,
// address and route changes, and tells the owner's handlers what changed. Used on the owner's
// executor; current() may be read from any thread.
class PathWatch {
  public:
    using PathHandler = std::function<void(const NetworkPath&)>;
    using ViabilityHandler = std::function<void(bool viable)>;

    PathWatch();
    ~PathWatch();

    void setPathHandler(PathHandler handler) { pathHandler_ = std::move(handler); }
    void setViabilityHandler(ViabilityHandler handler) { viabilityHandler_ = std::move(handler); }

    // Records the path found on connecting, without telling the handlers.
    void begin(const NetworkPath& path);
    // Runs `changed` on `executor` after each burst of link, address or route changes, until
    // stop(); the owner re-evaluates its path there and passes it to update().
    void follow(const NetworkExecutor& executor, std::function<void()> changed);
    void stop();

    // Records `path`; when it differs from the last one, tells the path handler, and the
    // viability handler when viability flipped, both only while `gate` is open.
    void update(const NetworkPath& path, const HandlerGate& gate);

    std::optional<NetworkPath> current() const;

  private:
    PathHandler pathHandler_;
    ViabilityHandler viabilityHandler_;
    std::shared_ptr<RouteWatcher> watcher_;
    bool viable_ = false;
    mutable std::mutex mutex_;
    std::optional<NetworkPath> path_;
};

}  // namespace sorvanta
