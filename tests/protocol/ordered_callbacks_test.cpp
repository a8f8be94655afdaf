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

// Taking buffered elements at once, as a consumer's handler does with a burst: in order,
// never past what is buffered, never while a `next` is pending, and the end of the stream
// is still reported by `next`, after what was buffered before it.
TEST(OrderedCallbacksTest, TryNextTakesOnlyWhatIsBufferedInOrder) {
    struct Case {
        const char* name;
        int buffered;
        bool finished;  // the owner finished the stream after the buffered elements
    } cases[] = {
        {"nothing buffered", 0, false},
        {"a burst", 5, false},
        {"a burst, then the end", 3, true},
        {"only the end", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        asio::io_context io;
        auto queue = std::make_shared<Queue>(io.get_executor(), 8);
        for (int i = 0; i < c.buffered; ++i) {
            ASSERT_TRUE(queue->send(i));
        }
        if (c.finished) {
            queue->continuation().finish();
        }
        std::vector<int> taken;
        while (auto value = queue->stream().tryNext()) {
            taken.push_back(*value);
        }
        std::vector<int> expected(static_cast<std::size_t>(c.buffered));
        for (int i = 0; i < c.buffered; ++i) {
            expected[static_cast<std::size_t>(i)] = i;
        }
        EXPECT_EQ(taken, expected);
        // `next` now waits (or reports the end); what arrives later goes to it, not to tryNext.
        Drain drain;
        drain.start(queue);
        if (!c.finished) {
            EXPECT_TRUE(queue->send(42));
            EXPECT_FALSE(queue->stream().tryNext());
            queue->continuation().finish();
        }
        io.run_for(std::chrono::seconds(5));
        EXPECT_EQ(drain.elements, c.finished ? std::vector<int>{} : std::vector<int>{42});
        EXPECT_EQ(drain.overflowAtEnd, false);
    }
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
