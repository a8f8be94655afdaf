#pragma once

#include <asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net/network_executor.h"

namespace sorvanta {

// Threads that each run an io_context of their own, lent to actors that move data: a TCP
// data connection at full rate needs a core of its own, and two of them on one thread (a
// duplex stage on one computer) hold each other back. A lease is the executor of one
// thread (serial: one thread runs it) that no other live lease shares while there are
// threads to spare; up to `limit` threads
// are started, after that leases share them in turn. Threads start on first need, from the
// thread that asks, so they work in its network namespace. The pool's destructor lets each
// thread finish the work still queued (a closing connection's last bytes) and joins it; it
// must not run on one of the pool's own threads.
class IoThreadPool {
  public:
    static constexpr std::size_t defaultLimit = 8;

    struct Lease {
        // The lent thread's executor; serial, since that thread alone runs it.
        NetworkExecutor executor;
        // The thread is free again once every copy of this is gone.
        std::shared_ptr<const void> hold;
    };

    explicit IoThreadPool(std::size_t limit = defaultLimit);
    ~IoThreadPool();
    IoThreadPool(const IoThreadPool&) = delete;
    IoThreadPool& operator=(const IoThreadPool&) = delete;

    // Thread-safe.
    Lease lease();
    std::size_t threadCount() const;

  private:
    struct Worker {
        asio::io_context context{1};
        asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
        std::shared_ptr<const int> hold = std::make_shared<const int>(0);
        std::thread thread;
    };

    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::size_t next_ = 0;
};

}  // namespace sorvanta
