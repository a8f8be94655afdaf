#include "protocol/ordered_callbacks.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sorvanta {
namespace {

using Queue = OrderedCallbacks<int>;

// Drains the queue with a callback consumer: records every element, then the flag at the end.
struct Drain {
    std::vector<int> elements;
    bool ended = false;
    bool overflowAtEnd = false;

    void start(const std::shared_ptr<Queue>& queue) {
        queue->stream().next([this, queue](std::optional<int> value) {
            if (!value) {
                ended = true;
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
    EXPECT_TRUE(drain.ended);
    EXPECT_TRUE(drain.overflowAtEnd);
}

TEST(OrderedCallbacksTest, ConsumerThatKeepsUpNeverOverflows) {
    asio::io_context io;
    auto queue = std::make_shared<Queue>(io.get_executor(), 1);
    Drain drain;
    drain.start(queue);
    // A waiting consumer is woken by the send, not by polling: nothing runs before it.
    EXPECT_EQ(io.poll(), 0u);
    EXPECT_FALSE(io.stopped());
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(queue->send(i));
        ASSERT_EQ(io.poll(), 1u);
    }
    EXPECT_FALSE(queue->overflow());
    queue->continuation().finish();
    io.run();
    ASSERT_EQ(drain.elements.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(drain.elements[static_cast<std::size_t>(i)], i);
    }
    EXPECT_TRUE(drain.ended);
    EXPECT_FALSE(drain.overflowAtEnd);
}

TEST(OrderedCallbacksTest, OwnerFinishIsAPlainEnd) {
    asio::io_context io;
    auto queue = std::make_shared<Queue>(io.get_executor(), 4);
    EXPECT_TRUE(queue->send(7));
    queue->continuation().finish();
    EXPECT_FALSE(queue->send(8));
    EXPECT_FALSE(queue->overflow());

    Drain drain;
    drain.start(queue);
    io.run();
    EXPECT_EQ(drain.elements, (std::vector<int>{7}));
    EXPECT_TRUE(drain.ended);
    EXPECT_FALSE(drain.overflowAtEnd);

    // Asking again after the end completes again with the end.
    bool endedAgain = false;
    queue->stream().next([&](std::optional<int> value) { endedAgain = !value; });
    io.restart();
    io.run();
    EXPECT_TRUE(endedAgain);
}

TEST(OrderedCallbacksTest, FinishWakesAWaitingConsumer) {
    asio::io_context io;
    auto queue = std::make_shared<Queue>(io.get_executor(), 4);
    Drain drain;
    drain.start(queue);
    EXPECT_EQ(io.poll(), 0u);
    queue->continuation().finish();
    io.run();
    EXPECT_TRUE(drain.ended);
    EXPECT_TRUE(drain.elements.empty());
}

TEST(OrderedCallbacksTest, ConcurrentProducersWithoutConsumerFillExactlyTheCapacity) {
    constexpr std::size_t capacity = 64;
    constexpr int producers = 8;
    constexpr int perProducer = 500;
    asio::io_context io;
    auto queue = std::make_shared<Queue>(io.get_executor(), capacity);

    std::vector<std::vector<bool>> results(producers);
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; ++i) {
                results[static_cast<std::size_t>(p)].push_back(queue->send(p * perProducer + i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    std::size_t accepted = 0;
    for (const auto& perThread : results) {
        bool refused = false;
        for (bool ok : perThread) {
            EXPECT_FALSE(refused && ok) << "a send succeeded after a refusal";
            refused = refused || !ok;
            accepted += ok ? 1 : 0;
        }
    }
    EXPECT_EQ(accepted, capacity);
    EXPECT_TRUE(queue->overflow());

    Drain drain;
    drain.start(queue);
    io.run();
    EXPECT_EQ(drain.elements.size(), capacity);
    EXPECT_TRUE(drain.ended);
    EXPECT_TRUE(drain.overflowAtEnd);
    // Each producer's accepted elements arrive in the order it sent them.
    std::vector<int> last(producers, -1);
    for (int element : drain.elements) {
        int p = element / perProducer;
        EXPECT_GT(element, last[static_cast<std::size_t>(p)]);
        last[static_cast<std::size_t>(p)] = element;
    }
}

// A coroutine consumer on a strand of a multi-threaded context, fed by producers on their own
// threads. Whatever the interleaving: every accepted element is delivered exactly once and in
// its producer's order, no element is refused unless the queue overflowed, and a refusal is
// final for that producer.
TEST(OrderedCallbacksTest, CoroutineConsumerUnderConcurrentProducers) {
    constexpr int producers = 4;
    constexpr int perProducer = 4000;
    for (std::size_t capacity : {std::size_t{2}, std::size_t{128}}) {
        asio::io_context io(2);
        auto strand = asio::make_strand(io);
        auto queue = std::make_shared<Queue>(strand, capacity);

        std::vector<int> delivered;
        bool overflowAtEnd = false;
        std::atomic<bool> consumerDone = false;
        asio::co_spawn(
            strand,
            [&, queue]() -> asio::awaitable<void> {
                while (auto element = co_await queue->stream().next(asio::use_awaitable)) {
                    delivered.push_back(*element);
                }
                overflowAtEnd = queue->overflow();
                consumerDone = true;
            },
            asio::detached);
        std::vector<std::thread> runners;
        for (int i = 0; i < 2; ++i) {
            runners.emplace_back([&] { io.run(); });
        }

        std::vector<std::vector<int>> accepted(producers);
        std::atomic<bool> anyRefused = false;
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&, p] {
                bool refused = false;
                for (int i = 0; i < perProducer; ++i) {
                    int element = p * perProducer + i;
                    if (queue->send(element)) {
                        EXPECT_FALSE(refused) << "a send succeeded after a refusal";
                        accepted[static_cast<std::size_t>(p)].push_back(element);
                    } else {
                        refused = true;
                        anyRefused = true;
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        // Nobody but an overflow has finished the stream yet.
        EXPECT_EQ(queue->overflow(), anyRefused.load());
        queue->continuation().finish();
        for (auto& runner : runners) {
            runner.join();
        }

        ASSERT_TRUE(consumerDone);
        EXPECT_EQ(overflowAtEnd, anyRefused.load());
        std::vector<std::vector<int>> received(producers);
        for (int element : delivered) {
            received[static_cast<std::size_t>(element / perProducer)].push_back(element);
        }
        EXPECT_EQ(received, accepted) << "capacity " << capacity;
    }
}

TEST(OrderedCallbacksTest, MoveOnlyElements) {
    asio::io_context io;
    auto queue =
        std::make_shared<OrderedCallbacks<std::unique_ptr<std::string>>>(io.get_executor(), 1);
    EXPECT_TRUE(queue->send(std::make_unique<std::string>("first")));
    EXPECT_FALSE(queue->send(std::make_unique<std::string>("dropped")));
    std::string got;
    queue->stream().next([&](std::optional<std::unique_ptr<std::string>> value) { got = **value; });
    io.run();
    EXPECT_EQ(got, "first");
}

}  // namespace
}  // namespace sorvanta
