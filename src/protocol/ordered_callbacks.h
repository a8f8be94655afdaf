#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/recycling_allocator.hpp>
#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

namespace sorvanta {

// The mailbox of an engine: a bounded first-in first-out queue with many producers on any
// thread and exactly one consumer on the owner's executor. It never blocks a producer and
// never grows past `capacity` waiting elements: an element offered while that many wait is
// dropped, the overflow flag is set and the stream is finished, so the owner stops in an
// orderly way instead of losing events silently. Share it by std::shared_ptr.
//
// Consumer side: one handler or coroutine at a time calls
//     queue->stream().next(token)      // completes with std::optional<T>, on the owner's executor
// and gets the elements in order; after the stream is finished (by the owner or by an
// overflow) it gets the buffered elements and then std::nullopt. A pending `next` keeps the
// executor's work count up until it completes, so the owner finishes the stream when it stops.
template <class T>
class OrderedCallbacks final {
  public:
    enum class YieldResult { enqueued, dropped, terminated };

    class Stream {
      public:
        // Waits for the next element. Completes, never inline, through the handler's
        // associated executor (the queue's executor when it has none) with the element, or
        // with no value once the stream has ended and nothing is left. Works with callbacks
        // and asio::use_awaitable. Only one `next` may be pending at a time.
        template <class Token>
        auto next(Token&& token) {
            return asio::async_initiate<Token, void(std::optional<T>)>(
                [queue = queue_](auto handler) { queue->startNext(std::move(handler)); }, token);
        }

        // The next element at once if one is buffered and no `next` is pending; otherwise
        // none (also at the end of the stream: a later `next` reports the end). Lets the
        // consumer's handler take a burst that is already queued in one turn, in order.
        std::optional<T> tryNext() { return queue_->takeBuffered(); }

      private:
        friend class OrderedCallbacks;
        explicit Stream(OrderedCallbacks* queue) : queue_(queue) {}
        OrderedCallbacks* queue_;
    };

    // The producing end; thread-safe.
    class Continuation {
      public:
        // Hands the element to a waiting consumer or buffers it; refuses it once finished or
        // while `capacity` elements wait.
        YieldResult yield(T element) const { return queue_->yieldElement(std::move(element)); }
        // Ends the stream: the consumer drains what is buffered, then sees the end.
        void finish() const { queue_->finishStream(); }

      private:
        friend class OrderedCallbacks;
        explicit Continuation(OrderedCallbacks* queue) : queue_(queue) {}
        OrderedCallbacks* queue_;
    };

    // `executor` is the owner's serial executor, on which the consumer runs.
    OrderedCallbacks(asio::any_io_executor executor, std::size_t capacity)
        : executor_(std::move(executor)), capacity_(capacity) {}

    OrderedCallbacks(const OrderedCallbacks&) = delete;
    OrderedCallbacks& operator=(const OrderedCallbacks&) = delete;

    // Offers one element; true when it was enqueued. False after the owner finished the
    // stream (the flag stays clear) and after an overflow (this send or an earlier one).
    bool send(T element) {
        if (overflow()) {
            return false;
        }
        switch (continuation_.yield(std::move(element))) {
            case YieldResult::enqueued:
                return true;
            case YieldResult::terminated:
                return false;
            case YieldResult::dropped:
                break;
        }
        overflow_.store(true, std::memory_order_release);
        // The flag is set before the end, so a consumer that sees the end reads it as set.
        continuation_.finish();
        return false;
    }

    // Whether an element was ever dropped. Set once, never cleared.
    bool overflow() const {
        return overflow_.load(std::memory_order_acquire);
    }

    Stream& stream() { return stream_; }
    const Continuation& continuation() const { return continuation_; }
    std::size_t capacity() const { return capacity_; }

  private:
    // The pending consumer, type-erased: a handler plus a tracked executor to complete it on.
    // One is made per `next`, so its memory comes from the calling thread's recycling cache
    // rather than the heap; destroy() gives it back.
    struct Waiter {
        virtual void complete(std::optional<T> value) = 0;
        virtual void destroy() = 0;

      protected:
        ~Waiter() = default;
    };
    struct Destroy {
        void operator()(Waiter* waiter) const { waiter->destroy(); }
    };
    using WaiterPtr = std::unique_ptr<Waiter, Destroy>;

    template <class Handler>
    struct HandlerWaiter final : Waiter {
        HandlerWaiter(Handler h, const asio::any_io_executor& fallback)
            : handler(std::move(h)),
              work(asio::prefer(asio::get_associated_executor(handler, fallback),
                                asio::execution::outstanding_work.tracked)) {}

        void complete(std::optional<T> value) override {
            auto executor = std::move(work);
            asio::post(executor, [h = std::move(handler), v = std::move(value)]() mutable {
                std::move(h)(std::move(v));
            });
        }

        void destroy() override {
            asio::recycling_allocator<HandlerWaiter> allocator;
            this->~HandlerWaiter();
            allocator.deallocate(this, 1);
        }

        static WaiterPtr make(Handler h, const asio::any_io_executor& fallback) {
            asio::recycling_allocator<HandlerWaiter> allocator;
            HandlerWaiter* raw = allocator.allocate(1);
            try {
                return WaiterPtr(new (raw) HandlerWaiter(std::move(h), fallback));
            } catch (...) {
                allocator.deallocate(raw, 1);
                throw;
            }
        }

        Handler handler;
        std::decay_t<decltype(asio::prefer(
            std::declval<asio::associated_executor_t<Handler, asio::any_io_executor>>(),
            asio::execution::outstanding_work.tracked))>
            work;
    };

    template <class Handler>
    void startNext(Handler handler) {
        WaiterPtr waiter = HandlerWaiter<Handler>::make(std::move(handler), executor_);
        std::optional<T> ready;
        {
            std::lock_guard lock(mutex_);
            if (waiter_) {
                throw std::logic_error("OrderedCallbacks: a second consumer is waiting");
            }
            if (!buffer_.empty()) {
                ready.emplace(std::move(buffer_.front()));
                buffer_.pop_front();
                buffered_.store(buffer_.size(), std::memory_order_release);
            } else if (!finished_) {
                waiter_ = std::move(waiter);
                return;
            }
        }
        waiter->complete(std::move(ready));
    }

    std::optional<T> takeBuffered() {
        // Only the consumer takes elements, so a count of none seen here stays true until a
        // producer adds one: the usual empty answer costs no lock.
        if (buffered_.load(std::memory_order_acquire) == 0) {
            return std::nullopt;
        }
        std::lock_guard lock(mutex_);
        if (waiter_ || buffer_.empty()) {
            return std::nullopt;
        }
        std::optional<T> element(std::move(buffer_.front()));
        buffer_.pop_front();
        buffered_.store(buffer_.size(), std::memory_order_release);
        return element;
    }

    YieldResult yieldElement(T element) {
        WaiterPtr waiter;
        {
            std::lock_guard lock(mutex_);
            if (finished_) {
                return YieldResult::terminated;
            }
            if (!waiter_) {
                if (buffer_.size() >= capacity_) {
                    return YieldResult::dropped;
                }
                buffer_.push_back(std::move(element));
                buffered_.store(buffer_.size(), std::memory_order_release);
                return YieldResult::enqueued;
            }
            // A consumer only waits while nothing is buffered: hand the element straight over.
            waiter = std::move(waiter_);
        }
        waiter->complete(std::move(element));
        return YieldResult::enqueued;
    }

    void finishStream() {
        WaiterPtr waiter;
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
            waiter = std::move(waiter_);
        }
        if (waiter) {
            waiter->complete(std::nullopt);
        }
    }

    asio::any_io_executor executor_;
    std::size_t capacity_;
    Stream stream_{this};
    Continuation continuation_{this};

    std::mutex mutex_;  // guards buffer_, finished_ and waiter_
    std::deque<T> buffer_;
    bool finished_ = false;
    WaiterPtr waiter_;
    std::atomic<std::size_t> buffered_{0};  // buffer_.size(), readable without the lock

    std::atomic<bool> overflow_{false};  // read on every send: no lock for it
};

}  // namespace sorvanta
