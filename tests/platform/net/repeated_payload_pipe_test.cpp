#include "platform/net/repeated_payload_pipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/repeated_payload_file.h"
#include "stream_pair.h"

namespace sorvanta {
namespace {

using testing::pattern;
using testing::StreamPair;

std::string repeated(const std::vector<std::uint8_t>& bytes, std::size_t copies) {
    std::string all;
    for (std::size_t i = 0; i < copies; ++i) {
        all.append(bytes.begin(), bytes.end());
    }
    return all;
}

// Runs on a thread of its own, prepared as the program's data threads are.
template <class Body>
void onPreparedThread(Body body) {
    std::thread([&] {
        RepeatedPayloadFile::prepareThread();
        body();
    }).join();
}

// The stream a connection writes: each call asks for what follows the bytes taken so far, at
// most a few copies at a time; the socket keeps filling up, so most calls leave part staged.
// Whatever the buffer's size against a page, the reader gets the buffer repeated exactly.
TEST(RepeatedPayloadPipe, AStreamOfCallsDeliversTheBufferRepeatedExactly) {
    const struct {
        const char* name;
        std::size_t size, copies, total;  // bytes of the buffer, copies per call, copies sent
    } cases[] = {
        {"less than a page", 1000, 3, 40},
        {"a page and a part of one", 5000, 4, 30},
        {"the data engine's buffer", 131'072, 4, 9},
    };
    int partlyTakenInAll = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = pattern(c.size);
        onPreparedThread([&] {
            auto pipe = RepeatedPayloadPipe::create(bytes, c.copies);
            ASSERT_TRUE(pipe);
            ASSERT_GE(pipe->capacity(), c.size);
            StreamPair stream(16384);
            ASSERT_GE(stream.sender, 0);
            const std::size_t total = c.size * c.total;
            std::size_t taken = 0;
            std::string got;
            int fullSocket = 0;
            int partlyTaken = 0;
            while (taken < total) {
                const std::size_t length = std::min(total - taken, pipe->capacity());
                const long sent = pipe->sendTo(stream.sender, taken % c.size, length);
                if (sent == -EAGAIN) {
                    ++fullSocket;
                    got += stream.drain();  // the reader catches up only once it is full
                    continue;
                }
                ASSERT_GE(sent, 0);
                taken += static_cast<std::size_t>(sent);
                partlyTaken += static_cast<std::size_t>(sent) < length;
                // What was not taken waits: at most the rest of this call's range.
                EXPECT_LE(pipe->staged(), length - static_cast<std::size_t>(sent));
            }
            got += stream.drain();
            EXPECT_EQ(pipe->staged(), 0u);
            EXPECT_EQ(got.size(), total);
            EXPECT_TRUE(got == repeated(bytes, c.total));
            EXPECT_GT(fullSocket, 0) << "the socket never filled: the case tests too little";
            partlyTakenInAll += partlyTaken;
        });
    }
    // A local stream socket takes small writes whole; the engine's buffer is left part staged.
    EXPECT_GT(partlyTakenInAll, 0) << "nothing was ever left staged";
}

// Where it cannot stage (a call starting inside a copy with nothing waiting), it refuses
// before touching the socket, so that the caller can write that part from elsewhere; bad
// ranges and unprepared threads are refused too.
TEST(RepeatedPayloadPipe, RefusesWhatItCannotStageAndBadRanges) {
    const auto bytes = pattern(4096);
    const struct {
        const char* name;
        bool prepared;
        std::size_t offset, length;
        long result;
    } cases[] = {
        {"from the start of a copy", true, 0, 10'000, 10'000},
        {"inside a copy, nothing staged", true, 100, 3996, -ENOTSUP},
        {"from the buffer's end", true, 4096, 100, -EINVAL},
        {"more than one call may take", true, 0, 3 * 4096 + 1, -EINVAL},
        {"nothing", true, 0, 0, -EINVAL},
        {"a thread not prepared", false, 0, 100, -EPERM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread([&] {
            if (c.prepared) {
                RepeatedPayloadFile::prepareThread();
            }
            auto pipe = RepeatedPayloadPipe::create(bytes, 3);
            ASSERT_TRUE(pipe);
            EXPECT_EQ(pipe->capacity(), 3u * 4096);
            int fds[2];
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
            EXPECT_EQ(pipe->sendTo(fds[0], c.offset, c.length), c.result);
            char buffer[16384];
            const ssize_t got = ::recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT);
            EXPECT_EQ(std::max<long>(got, 0), std::max(c.result, 0L));
            ::close(fds[0]);
            ::close(fds[1]);
        }).join();
    }
    EXPECT_FALSE(RepeatedPayloadPipe::create({}, 2));
    EXPECT_FALSE(RepeatedPayloadPipe::create(bytes, 0));
}

// One call stages and offers all the copies it may take, whatever the buffer's size against
// a page (the pipe counts pages, not bytes): a socket with room takes them in one write.
TEST(RepeatedPayloadPipe, ACallOffersEveryCopyItMayTake) {
    const struct {
        std::size_t size, copies;
    } cases[] = {{1000, 3}, {4096, 3}, {5000, 4}, {131'072, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto bytes = pattern(c.size);
        onPreparedThread([&] {
            auto pipe = RepeatedPayloadPipe::create(bytes, c.copies);
            ASSERT_TRUE(pipe);
            EXPECT_EQ(pipe->capacity(), c.size * c.copies);
            int fds[2];
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
            const int roomy = 4 << 20;
            ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &roomy, sizeof roomy);
            EXPECT_EQ(pipe->sendTo(fds[0], 0, pipe->capacity()), long(pipe->capacity()));
            EXPECT_EQ(pipe->staged(), 0u);
            ::close(fds[0]);
            ::close(fds[1]);
        });
    }
}

// A closed peer is an error, never a signal, with nothing left pending.
TEST(RepeatedPayloadPipe, AClosedPeerIsAnErrorNotASignal) {
    const auto bytes = pattern(8192);
    onPreparedThread([&] {
        auto pipe = RepeatedPayloadPipe::create(bytes, 2);
        ASSERT_TRUE(pipe);
        StreamPair stream(16384);
        ::close(stream.reader);
        stream.reader = -1;
        EXPECT_EQ(pipe->sendTo(stream.sender, 0, 8192), -EPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ASSERT_EQ(::sigpending(&pending), 0);
        EXPECT_NE(sigismember(&pending, SIGPIPE), 1) << "the signal was left pending";
    });
}

}  // namespace
}  // namespace sorvanta
