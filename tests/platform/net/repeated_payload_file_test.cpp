#include "platform/net/repeated_payload_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "stream_pair.h"

namespace sorvanta {
namespace {

using testing::pattern;
using testing::StreamPair;

TEST(RepeatedPayloadFile, SendsTheRangeOfTheBufferRepeatedBackToBack) {
    RepeatedPayloadFile::prepareThread();
    const auto bytes = pattern(1000);
    struct Case {
        const char* name;
        std::size_t offset, length;
        long result;  // bytes taken, or −errno
    } cases[] = {
        {"the first copy", 0, 1000, 1000},
        {"across a copy's end", 900, 250, 250},
        {"all copies", 0, 3000, 3000},
        {"the last byte", 2999, 1, 1},
        {"nothing", 1000, 0, 0},
        {"past the end", 2500, 501, -EINVAL},
        {"starting past the end", 3001, 0, -EINVAL},
    };
    auto file = RepeatedPayloadFile::create(bytes, 3);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size(), 3000u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamPair pair;
        ASSERT_GE(pair.sender, 0);
        EXPECT_EQ(file->sendTo(pair.sender, c.offset, c.length), c.result);
        std::string expected;
        for (long i = 0; i < std::max(c.result, 0L); ++i) {
            expected.push_back(static_cast<char>(bytes[(c.offset + i) % bytes.size()]));
        }
        EXPECT_TRUE(pair.drain() == expected);
    }
}

TEST(RepeatedPayloadFile, AnEmptyBufferOrNoCopiesGivesNoFile) {
    EXPECT_FALSE(RepeatedPayloadFile::create({}, 4));
    EXPECT_FALSE(RepeatedPayloadFile::create(pattern(10), 0));
}

bool brokenPipeBlocked() {
    sigset_t mask;
    sigemptyset(&mask);
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

bool brokenPipePending() {
    sigset_t pending;
    sigemptyset(&pending);
    return ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// Each case on a thread of its own, as the program's data threads: only a thread prepared
// where it starts sends from the file, and a closed peer is then an error, never a signal
// (its default action would end this test program), with nothing left pending. A thread
// not prepared is refused before anything reaches the socket, and its signal mask is left
// as it was.
TEST(RepeatedPayloadFile, AFullSocketTakesPartThenNothingAndAClosedPeerIsAnErrorNotASignal) {
    const struct {
        const char* name;
        bool prepared;
        long whenFull, whenClosed;  // what a send returns once the socket is full or closed
    } cases[] = {
        {"a prepared thread", true, -EAGAIN, -EPIPE},
        {"a thread not prepared", false, -EPERM, -EPERM},
    };
    const auto bytes = pattern(65536);
    auto file = RepeatedPayloadFile::create(bytes, 4);
    ASSERT_TRUE(file);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread([&] {
            // A new thread inherits its creator's mask: start each from the default one.
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            if (c.prepared) {
                RepeatedPayloadFile::prepareThread();
            }
            EXPECT_EQ(brokenPipeBlocked(), c.prepared);
            StreamPair pair;
            ASSERT_GE(pair.sender, 0);
            ASSERT_EQ(::fcntl(pair.sender, F_SETFL, ::fcntl(pair.sender, F_GETFL) | O_NONBLOCK), 0);
            const int small = 16384;
            ::setsockopt(pair.sender, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            long taken = 0;
            long last = 0;
            for (int i = 0; i < 64 && (last = file->sendTo(pair.sender, 0, file->size())) > 0;
                 ++i) {
                taken += last;
            }
            EXPECT_EQ(taken > 0, c.prepared);
            EXPECT_EQ(last, c.whenFull);
            EXPECT_EQ(pair.drain().size(), static_cast<std::size_t>(taken));

            ::close(pair.reader);
            pair.reader = -1;
            EXPECT_EQ(file->sendTo(pair.sender, 0, 100), c.whenClosed);
            EXPECT_FALSE(brokenPipePending()) << "the signal was left pending";
            EXPECT_EQ(brokenPipeBlocked(), c.prepared);
        }).join();
    }
}

}  // namespace
}  // namespace sorvanta
