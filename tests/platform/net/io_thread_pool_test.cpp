#include "platform/net/io_thread_pool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <asio/post.hpp>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lab/netns_lab.h"
#include "platform/net/repeated_payload_file.h"
#include "stream_pair.h"

namespace sorvanta {
namespace {

// The thread a lease's executor runs its work on.
std::thread::id threadOf(const IoThreadPool::Lease& lease) {
    std::promise<std::thread::id> id;
    asio::post(lease.executor, [&] { id.set_value(std::this_thread::get_id()); });
    return id.get_future().get();
}

// The network namespace of the calling thread.
ino_t currentNamespace() {
    struct stat info {};
    ::stat("/proc/thread-self/ns/net", &info);
    return info.st_ino;
}

TEST(IoThreadPool, LendsEachLiveLeaseAThreadOfItsOwnAndReusesFreedOnes) {
    // held: leases alive at once; threads: how many the pool has started; distinct: how many
    // different threads those leases run on.
    struct Case {
        std::size_t limit, held, threads, distinct;
    } cases[] = {
        {8, 1, 1, 1}, {8, 2, 2, 2},
        {8, 4, 4, 4}, {2, 4, 2, 2},  // past the limit, leases share the threads in turn
        {1, 3, 1, 1},
    };
    for (const auto& c : cases) {
        IoThreadPool pool(c.limit);
        std::vector<IoThreadPool::Lease> leases;
        std::set<std::thread::id> threads;
        for (std::size_t i = 0; i < c.held; ++i) {
            leases.push_back(pool.lease());
            threads.insert(threadOf(leases.back()));
        }
        EXPECT_EQ(pool.threadCount(), c.threads) << "limit " << c.limit << " held " << c.held;
        EXPECT_EQ(threads.size(), c.distinct) << "limit " << c.limit << " held " << c.held;
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);

        // A freed thread is lent again before a new one starts.
        const auto freed = threadOf(leases.front());
        leases.erase(leases.begin());
        if (c.held <= c.limit) {
            const auto again = pool.lease();
            EXPECT_EQ(threadOf(again), freed);
            EXPECT_EQ(pool.threadCount(), c.threads);
        }
    }
}

TEST(IoThreadPool, ALeaseIsSerialAndTheDestructorRunsWorkStillQueued) {
    std::vector<int> order;
    {
        IoThreadPool pool;
        auto lease = pool.lease();
        for (int i = 0; i < 1000; ++i) {
            asio::post(lease.executor, [&order, i] { order.push_back(i); });
        }
    }
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(order[i], i);
    }
}

// Payload goes out from files (and pipes) only on a thread prepared for it; on any other a
// connection quietly writes the bytes as usual, which only a throughput run would notice.
TEST(IoThreadPool, EveryLentThreadSendsFromFiles) {
    const auto bytes = testing::pattern(4096);
    const auto file = RepeatedPayloadFile::create(bytes, 2);
    ASSERT_TRUE(file);
    IoThreadPool pool(2);
    // A new thread, a second one, and one lent again past the limit.
    std::vector<IoThreadPool::Lease> leases;
    for (int i = 0; i < 3; ++i) {
        leases.push_back(pool.lease());
        testing::StreamPair pair;
        std::promise<long> sent;
        asio::post(leases.back().executor,
                   [&] { sent.set_value(file->sendTo(pair.sender, 0, file->size())); });
        EXPECT_EQ(sent.get_future().get(), static_cast<long>(file->size())) << "lease " << i;
    }
}

TEST(IoThreadPool, ThreadsWorkInTheNamespaceOfTheThreadThatAskedFirst) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    testing::NetnsThread inside(pair->nsA);
    IoThreadPool pool;
    const auto lease = inside.call([&] { return pool.lease(); });
    std::promise<ino_t> seen;
    asio::post(lease.executor, [&] { seen.set_value(currentNamespace()); });
    const ino_t expected = inside.call([] { return currentNamespace(); });
    EXPECT_EQ(seen.get_future().get(), expected);
    EXPECT_NE(expected, currentNamespace());
}

}  // namespace
}  // namespace sorvanta
