#include "model/wire_model_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "lab/fake_network.h"
#include "lab/fake_system.h"
#include "platform/net/asio_scheduler.h"

namespace sorvanta {
namespace {

using testing::FakeLowPowerSource;
using testing::FakeNetworkFactory;
using testing::FakeWiredHardwareReader;

// Quitting while the service searches ends with the service's thread: nothing the stopped
// service left behind may hold the process once its windows are gone. Taken apart many
// times: whether the thread is still busy with the stop at that moment varies from one quit
// to the next, and a wait shows only in some of them.
TEST(WireModelServiceTest, GoesPromptlyWhileSearching) {
    struct Case {
        const char* what;
        bool adapter;
    };
    for (const Case& c : {Case{"with an adapter", true}, Case{"without one", false}}) {
        SCOPED_TRACE(c.what);
        for (int round = 0; round < 2000; ++round) {
            // Made before the service, which publishes until it is gone.
            std::mutex mutex;
            std::condition_variable published;
            std::optional<ConnectionState> state;
            auto reaches = [&](ConnectionState wanted) {
                std::unique_lock lock(mutex);
                return published.wait_for(lock, std::chrono::seconds(5),
                                          [&] { return state == wanted; });
            };
            auto hardware = std::make_shared<FakeWiredHardwareReader>();
            if (c.adapter) {
                hardware->admitPci("eth0", 2);
            }
            auto service = std::make_unique<WireModelService>([&](NetworkExecutor executor) {
                return WireService::Dependencies{executor,
                                                 std::make_shared<FakeNetworkFactory>(),
                                                 std::make_shared<AsioScheduler>(executor),
                                                 hardware,
                                                 std::make_shared<FakeLowPowerSource>(),
                                                 {},
                                                 [](ServiceLogLevel, const std::string&) {},
                                                 "Desk",
                                                 std::nullopt,
                                                 std::nullopt};
            });
            service->start([&](const ServiceSnapshot& snapshot) {
                std::lock_guard lock(mutex);
                state = snapshot.state;
                published.notify_all();
            });
            ASSERT_TRUE(reaches(ConnectionState::searching));
            // As Quit does it: the window's going stops the service, then the program ends.
            service->stop();
            ASSERT_TRUE(reaches(ConnectionState::cancelled));
            const auto quit = std::chrono::steady_clock::now();
            service.reset();
            const auto gone = std::chrono::steady_clock::now() - quit;
            // Normally a few milliseconds; a second is a wait, not a slow machine.
            ASSERT_LT(gone, std::chrono::seconds(1)) << "round " << round;
        }
    }
}

}  // namespace
}  // namespace sorvanta
