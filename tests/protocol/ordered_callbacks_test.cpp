#include "protocol/ordered_callbacks.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace sorvanta {
namespace {

using Queue = OrderedCallbacks<int>;

// A callback consumer: records every element, then the flag as read at the end.
struct Drain {
    std::vector<int> elements;
    std::optional<bool> overflowAtEnd;

    void start(const std::shared_ptr<Queue>& queue) {
        queue->stream().next([this, queue](std::optional<int> value) {
            if (!value) {
                overflowAtEnd = queue->overflow();
                return;
            }
            elements.push_back(*value);
            start(queue);
        });
    }
};

TEST(OrderedCallbacksTest, OverflowKeepsTheOldestAndEndsTheStream) {
    asio::io_context io;
    auto queue = std::make_shared<Queue>(io.get_executor(), 2);
    EXPECT_TRUE(queue->send(1));
    EXPECT_TRUE(queue->send(2));
    EXPECT_FALSE(queue->overflow());
    EXPECT_FALSE(queue->send(3));
    EXPECT_TRUE(queue->overflow());
    EXPECT_FALSE(queue->send(4));
    EXPECT_EQ(queue->continuation().yield(5), Queue::YieldResult::terminated);

    Drain drain;
    drain.start(queue);
    io.run();
    EXPECT_EQ(drain.elements, (std::vector<int>{1, 2}));
    EXPECT_EQ(drain.overflowAtEnd, true);
}

TEST(OrderedCallbacksTest, WaitingConsumerIsWokenAndOwnerFinishIsAPlainEnd) {
    asio::io_context io;
    auto queue = std::make_shared<Queue>(io.get_executor(), 1);
    Drain drain;
    drain.start(queue);
    EXPECT_EQ(io.poll(), 0u);  // waiting, not polling
    EXPECT_FALSE(io.stopped());
    // A consumer that keeps up never meets the bound, even a bound of one.
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(queue->send(i));
        ASSERT_EQ(io.poll(), 1u);
    }
    EXPECT_TRUE(queue->send(100));  // buffered: the consumer has not run yet
    queue->continuation().finish();
    EXPECT_FALSE(queue->send(101));
    io.run();
    EXPECT_EQ(drain.elements.size(), 101u);
    EXPECT_EQ(drain.elements.back(), 100);
    EXPECT_EQ(drain.overflowAtEnd, false);
}

TEST(OrderedCallbacksTest, ConcurrentProducersWithoutConsumerFillExactlyTheCapacity) {
    constexpr std::size_t capacity = 64;
    constexpr int producers = 8, perProducer = 500;
    asio::io_context io;
    auto queue = std::make_shared<Queue>(io.get_executor(), capacity);
    std::atomic<std::size_t> accepted = 0;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            bool refused = false;
            for (int i = 0; i < perProducer; ++i) {
                bool ok = queue->send(p * perProducer + i);
                EXPECT_FALSE(refused && ok) << "a send succeeded after a refusal";
                refused = refused || !ok;
                accepted += ok ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(accepted, capacity);
    EXPECT_TRUE(queue->overflow());

    Drain drain;
    drain.start(queue);
    io.run();
    EXPECT_EQ(drain.elements.size(), capacity);
    EXPECT_EQ(drain.overflowAtEnd, true);
    std::vector<int> last(producers, -1);
    for (int element : drain.elements) {
        auto& previous = last[static_cast<std::size_t>(element / perProducer)];
        EXPECT_GT(element, previous);
        previous = element;
    }
}

// A coroutine consumer on a strand of a two-thread context, fed by producers on their own
// threads. Whatever the interleaving, every accepted element arrives exactly once and in its
// producer's order, nothing is refused unless the queue overflowed, and a refusal is final.
TEST(OrderedCallbacksTest, CoroutineConsumerUnderConcurrentProducers) {
    constexpr int producers = 4, perProducer = 4000;
    for (std::size_t capacity : {2, 128}) {
        asio::io_context io(2);
        auto strand = asio::make_strand(io);
        auto queue = std::make_shared<Queue>(strand, capacity);
        std::vector<std::vector<int>> received(producers);
        std::optional<bool> overflowAtEnd;
        asio::co_spawn(
            strand,
            [&, queue]() -> asio::awaitable<void> {
                while (auto element = co_await queue->stream().next(asio::use_awaitable)) {
                    received[static_cast<std::size_t>(*element / perProducer)].push_back(*element);
                }
                overflowAtEnd = queue->overflow();
            },
            asio::detached);
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&] { io.run(); });
        }

        std::vector<std::vector<int>> accepted(producers);
        std::atomic<bool> anyRefused = false;
        std::vector<std::thread> senders;
        for (int p = 0; p < producers; ++p) {
            senders.emplace_back([&, p] {
                bool refused = false;
                for (int i = 0; i < perProducer; ++i) {
                    if (queue->send(p * perProducer + i)) {
                        EXPECT_FALSE(refused) << "a send succeeded after a refusal";
                        accepted[static_cast<std::size_t>(p)].push_back(p * perProducer + i);
                    } else {
                        refused = true;
                        anyRefused = true;
                    }
                }
            });
        }
        for (auto& sender : senders) {
            sender.join();
        }
        EXPECT_EQ(queue->overflow(), anyRefused.load());
        queue->continuation().finish();
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(overflowAtEnd, anyRefused.load());
        EXPECT_EQ(received, accepted) << "capacity " << capacity;
    }
}

}  // namespace
}  // namespace sorvanta
