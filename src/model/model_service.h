#pragma once

#include <functional>

#include "protocol/quick_profile.h"
#include "protocol/service_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// The network service as the model uses it. Every command returns at once and runs later on
// the service's own serial executor, in the order it was given; the service's state reaches
// the model only through the snapshots it publishes, from its executor.
class ModelService {
  public:
    using Publish = std::function<void(const ServiceSnapshot&)>;

    virtual ~ModelService() = default;

    // Starts the service unless it runs, and publishes to `publish` after every change.
    virtual void start(Publish publish) = 0;
    // Stops everything; the service may be started again. Harmless when not started.
    virtual void stop() = 0;
    virtual void searchAgain() = 0;
    // `index` is the system interface index of a wired interface.
    virtual void selectInterface(int index) = 0;
    virtual void startQuickTest(QuickProfile profile) = 0;
    virtual void stopQuickTest() = 0;
    // This running copy's identifier; fixed for the service's life.
    virtual const Uuid& localID() const = 0;
};

}  // namespace sorvanta
