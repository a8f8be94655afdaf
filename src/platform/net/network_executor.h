#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <memory>
#include <utility>

namespace sorvanta {

// The executor model of the network layer. Every object (connection, listener, monitor) is
// created with its caller's serial executor, normally an asio strand or a single-threaded
// io_context. The object does all its socket work on that executor and calls every handler
// there, one at a time, in the order the events happened. Its methods are meant to be called
// from that executor too, but every entry point posts its work: no handler ever runs inside
// the call that caused it, so an owner may call in while holding its own lock. Once cancel()
// has returned, no handler of the object is called again.
using NetworkExecutor = asio::any_io_executor;

// The open/closed flag shared by an object and the completions it has scheduled. A completion
// that finds the gate closed drops its handler instead of calling it.
class HandlerGate {
  public:
    HandlerGate() : open_(std::make_shared<std::atomic<bool>>(true)) {}

    bool isOpen() const { return *open_; }
    void close() { *open_ = false; }

    // Posts `handler` to `executor`; it runs only if the gate is still open by then.
    template <class Handler>
    void post(const NetworkExecutor& executor, Handler&& handler) const {
        asio::post(executor, [open = open_, h = std::forward<Handler>(handler)]() mutable {
            if (*open) {
                h();
            }
        });
    }

  private:
    std::shared_ptr<std::atomic<bool>> open_;
};

}  // namespace sorvanta
