// The program's own path end to end: two models, each over the real service hosted by
// WireModelService in its own namespace, a Quick Test started as the Test button starts it and
// its result revealed in the model. Runs from scripts/e2e-long.sh.
#include <gtest/gtest.h>

#include "assessment/verdict/result_assessment.h"
#include "e2e_node.h"
#include "model/sorvanta_model.h"
#include "model/wire_model_service.h"

namespace sorvanta::testing {
namespace {

struct ThreadExecutor final : ModelExecutor {
    explicit ThreadExecutor(NetnsThread& thread) : thread(thread) {}
    void post(std::function<void()> work) override { thread.post(std::move(work)); }
    NetnsThread& thread;
};

struct AlwaysTest final : LowPowerAlert {
    Choice ask(const Content&) override { return Choice::testAnyway; }
};

// One computer: its window's thread with the model, the service on an io thread of its own
// that enters the namespace before it makes anything.
struct ModelComputer {
    ModelComputer(const std::string& ns, const std::string& device, int index, std::string name)
        : ui(ns) {
        hardware->admitPci(device, index, {true, 1'000'000'000, true});
        auto service = std::make_shared<WireModelService>([&](NetworkExecutor executor) {
            NetnsLab::enter(ns);
            auto network = std::make_shared<SystemNetworkFactory>();
            auto engines = std::make_shared<TransferEngineFactory>(executor, network);
            return WireService::Dependencies{
                executor,
                network,
                std::make_shared<AsioScheduler>(executor),
                hardware,
                lowPower,
                quickTestFactory(executor, engines, hardware, lowPower),
                [](ServiceLogLevel, const std::string&) {},
                name,
                std::nullopt,
                std::nullopt};
        });
        model = ui.call([&] {
            SorvantaModel::Dependencies deps;
            deps.service = service;
            deps.executor = std::make_shared<ThreadExecutor>(ui);
            deps.scheduler = std::make_shared<AsioScheduler>(ui.executor());
            deps.alert = std::make_shared<AlwaysTest>();
            deps.hostName = name;
            auto made = SorvantaModel::create(std::move(deps));
            made->resume();
            return made;
        });
    }
    ~ModelComputer() {
        ui.call([&] {
            model->suspend();
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ui.call([&] {
            model.reset();
            return 0;
        });
    }
    template <class Predicate>
    bool waitFor(Predicate predicate, double seconds) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        do {
            if (ui.call([&] { return predicate(*model); })) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

    NetnsThread ui;
    std::shared_ptr<FakeWiredHardwareReader> hardware = std::make_shared<FakeWiredHardwareReader>();
    std::shared_ptr<FakeLowPowerSource> lowPower = std::make_shared<FakeLowPowerSource>();
    std::shared_ptr<SorvantaModel> model;
};

TEST(EndToEndLongModel, TestButtonThroughTheModelRevealsAPassedResult) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    for (const auto& [ns, dev] :
         {std::pair{pair->nsA, pair->link.nameA}, std::pair{pair->nsB, pair->link.nameB}}) {
        ASSERT_EQ(std::system(("ip netns exec " + ns + " tc qdisc replace dev " + dev +
                               " root tbf rate 1gbit burst 512kb latency 50ms")
                                  .c_str()),
                  0);
    }
    ModelComputer a(pair->nsA, pair->link.nameA, pair->link.indexA, "Desk");
    ModelComputer b(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio");
    ASSERT_TRUE(a.waitFor([](SorvantaModel& m) { return m.canStartTest(); }, 30))
        << a.ui.call([&] { return a.model->snapshot().status; });
    a.ui.call([&] {
        a.model->startTest();
        return 0;
    });
    auto revealed = [](SorvantaModel& m) {
        const auto& s = m.snapshot();
        return !s.speed.busy && s.speed.phase == SpeedSnapshot::Phase::complete &&
               s.resultContext && s.speed.run == s.resultContext->run;
    };
    for (ModelComputer* computer : {&a, &b}) {
        ASSERT_TRUE(computer->waitFor(revealed, 150));
        const auto verdict = computer->ui.call([&] {
            const auto& s = computer->model->snapshot();
            return ResultAssessment::shown(s.speed, s.resultContext->run);
        });
        EXPECT_EQ(verdict.speedOutcome, ResultAssessment::Outcome::passed) << verdict.title;
        EXPECT_EQ(verdict.performance.value_or(""), "Gigabit-class performance");
        EXPECT_TRUE(computer->ui.call([&] { return computer->model->connectionDetailsText(); }))
            << "the report is available once the result shows";
    }
}

}  // namespace
}  // namespace sorvanta::testing
