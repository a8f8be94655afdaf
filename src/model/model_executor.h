#pragma once

#include <functional>

namespace sorvanta {

// The model's own thread (the window's event loop): posted work runs there later, one at a
// time, in the order posted; never inside post(). post() may be called from any thread (the
// service hands its snapshots over from its own executor).
class ModelExecutor {
  public:
    virtual ~ModelExecutor() = default;
    virtual void post(std::function<void()> work) = 0;
};

}  // namespace sorvanta
