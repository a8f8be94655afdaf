#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <string>

#include "lab/fake_scheduler.h"
#include "platform/net/asio_scheduler.h"

namespace sorvanta {
namespace {

// The same script on both schedulers: due order, ties in schedule order, a cancelled action
// never runs, an action scheduled from another lands in order, nothing runs inside schedule().
template <class Run>
std::string script(Scheduler& scheduler, Run runFor) {
    std::string log;
    scheduler.schedule(0.5, [&] { log += "c"; });
    scheduler.schedule(0.01, [&] {
        log += "a";
        scheduler.schedule(0.01, [&] { log += "b"; });
    });
    const auto dropped = scheduler.schedule(0.015, [&] { log += "x"; });
    scheduler.schedule(0, [&] { log += "0"; });
    scheduler.schedule(0, [&] { log += "1"; });
    scheduler.cancel(dropped);
    log += "|";
    runFor(1.0);
    return log;
}

TEST(Scheduler, RunsDueActionsInOrderAfterScheduleReturnsAndNeverCancelledOnes) {
    testing::FakeScheduler fake(5.0);
    EXPECT_EQ(script(fake, [&](double s) { fake.advance(s); }), "|01abc");
    EXPECT_DOUBLE_EQ(fake.clock().now(), 6.0);

    asio::io_context io;
    AsioScheduler real(io.get_executor());
    EXPECT_EQ(script(real,
                     [&](double s) {
                         io.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::duration<double>(s)));
                     }),
              "|01abc");
}

TEST(Scheduler, DestroyingTheAsioSchedulerDropsWhatIsPending) {
    asio::io_context io;
    bool ran = false;
    {
        AsioScheduler scheduler(io.get_executor());
        scheduler.schedule(0, [&] { ran = true; });
    }
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace sorvanta
