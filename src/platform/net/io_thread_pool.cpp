#include "platform/net/io_thread_pool.h"

#include <pthread.h>

#include <algorithm>

#include "platform/net/repeated_payload_file.h"

namespace sorvanta {

IoThreadPool::IoThreadPool(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

IoThreadPool::~IoThreadPool() {
    std::lock_guard lock(mutex_);
    for (auto& worker : workers_) {
        worker->work.reset();
    }
    for (auto& worker : workers_) {
        worker->thread.join();
    }
}

IoThreadPool::Lease IoThreadPool::lease() {
    std::lock_guard lock(mutex_);
    Worker* chosen = nullptr;
    for (auto& worker : workers_) {
        // Only the pool's own copy left: no live lease uses the thread.
        if (worker->hold.use_count() == 1) {
            chosen = worker.get();
            break;
        }
    }
    if (chosen == nullptr && workers_.size() < limit_) {
        auto worker = std::make_unique<Worker>();
        worker->thread = std::thread([context = &worker->context] {
            // Named so that a profile or a debugger tells the data threads apart.
            ::pthread_setname_np(::pthread_self(), "sorvanta-io");
            // Payload goes out from files on these threads.
            RepeatedPayloadFile::prepareThread();
            context->run();
        });
        chosen = workers_.emplace_back(std::move(worker)).get();
    }
    if (chosen == nullptr) {
        chosen = workers_[next_++ % workers_.size()].get();
    }
    // One thread runs the context, so its own executor is already serial: no strand needed.
    return {chosen->context.get_executor(), chosen->hold};
}

std::size_t IoThreadPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

}  // namespace sorvanta
