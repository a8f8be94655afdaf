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
    EXPECT_TRUE(queue->send(100));  // accepted, not yet taken: finishing keeps it
    queue->continuation().finish();
    EXPECT_FALSE(queue->send(101));
    io.run_for(std::chrono::seconds(5));  // bounded: a drain that never ends fails, not hangs
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(drain.elements.size(), 101u);
    EXPECT_EQ(drain.elements.back(), 100);
    EXPECT_EQ(drain.overflowAtEnd, false);
}

// Producers on their own threads feed a coroutine consumer on a strand of a two-thread
// context, which runs alongside them or only once they are done. Whatever the interleaving,
// every accepted element arrives exactly once and in its producer's order, nothing is
// refused unless the queue overflowed, and a refusal is final.
TEST(OrderedCallbacksTest, ConcurrentProducers) {
    constexpr int producers = 4, perProducer = 4000;
    for (bool consumerRuns : {false, true}) {
        for (std::size_t capacity : {2, 128}) {
            asio::io_context io(2);
            auto strand = asio::make_strand(io);
            auto queue = std::make_shared<Queue>(strand, capacity);
            std::vector<std::vector<int>> received(producers), accepted(producers);
            std::optional<bool> overflowAtEnd;
            asio::co_spawn(
                strand,
                [&, queue]() -> asio::awaitable<void> {
                    while (auto element = co_await queue->stream().next(asio::use_awaitable)) {
                        received[static_cast<std::size_t>(*element / perProducer)].push_back(
                            *element);
                    }
                    overflowAtEnd = queue->overflow();
                },
                asio::detached);
            std::vector<std::thread> consumers, senders;
            auto startConsumer = [&] {
                for (int i = 0; i < 2; ++i) {
                    consumers.emplace_back([&] { io.run_for(std::chrono::seconds(20)); });
                }
            };
            if (consumerRuns) {
                startConsumer();
            }
            std::atomic<bool> anyRefused = false;
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
            if (!consumerRuns) {  // nothing taken: exactly the capacity was accepted
                std::size_t total = 0;
                for (const auto& list : accepted) {
                    total += list.size();
                }
                EXPECT_EQ(total, capacity);
                EXPECT_TRUE(anyRefused);
                startConsumer();
            }
            queue->continuation().finish();
            for (auto& consumer : consumers) {
                consumer.join();
            }
            EXPECT_EQ(overflowAtEnd, anyRefused.load());
            EXPECT_EQ(received, accepted) << "capacity " << capacity;
        }
    }
}

}  // namespace
}  // namespace sorvanta
