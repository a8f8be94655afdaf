#include "quicktest/make_quick_test.h"

#include <gtest/gtest.h>

#include <chrono>

#include "quicktest/fake_engines.h"

namespace sorvanta::test {
namespace {

// The program's wiring on a real clock: the run starts, ticks, and a stop ends it once.
TEST(MakeQuickTest, StartsAndStopsOnItsOwnStrand) {
    asio::io_context io;
    testing::FakeScheduler engineTimers;
    auto world = std::make_shared<FakeWorld>(io.get_executor(), engineTimers);
    world->onBulkStart = [](FakeBulk&) { return true; };  // checks stay pending
    QuickTest::Setup setup;
    setup.id = Uuid::random();
    setup.session = Uuid::random();
    setup.local = setup.initiator = Uuid::random();
    setup.peer = Uuid::random();
    setup.interface = NetworkInterface{"lo", 1, InterfaceType::loopback};
    std::vector<QuickTest::Output> outputs;
    setup.notify = [&](QuickTest::Output output) { outputs.push_back(std::move(output)); };
    auto run = quickTestFactory(io.get_executor(), world->factory(), nullptr, nullptr)(setup);
    run->start();
    io.run_for(std::chrono::milliseconds(400));
    std::optional<SpeedSnapshot> done;
    run->fail("Stopped.", false, RunEndCause::stopped, false,
              [&](SpeedSnapshot final) { done = std::move(final); });
    for (int i = 0; i < 100 && !done; ++i) {
        io.run_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(done);
    ASSERT_FALSE(outputs.empty());
    EXPECT_EQ(outputs.back().kind, QuickTest::Output::Kind::ended);
    EXPECT_EQ(done->phase, SpeedSnapshot::Phase::cancelled);
    EXPECT_EQ(done->status, "Incomplete. Stopped.");
    ASSERT_EQ(done->quality.ethernet.size(), 1u);
    EXPECT_TRUE(done->quality.ethernet[0].after);
}

}  // namespace
}  // namespace sorvanta::test
