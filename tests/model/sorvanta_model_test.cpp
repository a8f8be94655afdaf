#include "model/sorvanta_model.h"

#include <gtest/gtest.h>

#include <deque>

#include "lab/fake_scheduler.h"

namespace sorvanta {
namespace {

// Records the commands; publishes only when the test says so.
class FakeService final : public ModelService {
  public:
    void start(Publish p) override {
        calls.push_back("start");
        publish = std::move(p);
    }
    void stop() override { calls.push_back("stop"); }
    void searchAgain() override { calls.push_back("searchAgain"); }
    void selectInterface(int index) override { calls.push_back("select " + std::to_string(index)); }
    void startQuickTest(QuickProfile) override { calls.push_back("test"); }
    void stopQuickTest() override { calls.push_back("stopTest"); }
    const Uuid& localID() const override { return id; }

    std::vector<std::string> calls;
    Publish publish;
    Uuid id = *Uuid::parse("AAAAAAAA-0000-4000-8000-000000000001");
};

class QueueExecutor final : public ModelExecutor {
  public:
    void post(std::function<void()> work) override { queue.push_back(std::move(work)); }
    // Runs what is queued, including work queued meanwhile, up to a bound.
    void drain() {
        for (int i = 0; i < 1000 && !queue.empty(); ++i) {
            auto work = std::move(queue.front());
            queue.pop_front();
            work();
        }
    }
    std::deque<std::function<void()>> queue;
};

class ScriptedAlert final : public LowPowerAlert {
  public:
    Choice ask(const Content& content) override {
        shown.push_back(content);
        return choice;
    }
    Choice choice = Choice::testAnyway;
    std::vector<Content> shown;
};

class CountingActivity final : public TestActivity {
  public:
    void begin(std::string_view) override { ++begun; }
    void end() override { ++ended; }
    int begun = 0;
    int ended = 0;
};

struct ModelTest : ::testing::Test {
    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    std::shared_ptr<QueueExecutor> executor = std::make_shared<QueueExecutor>();
    std::shared_ptr<testing::FakeScheduler> scheduler = std::make_shared<testing::FakeScheduler>();
    std::shared_ptr<ScriptedAlert> alert = std::make_shared<ScriptedAlert>();
    std::shared_ptr<CountingActivity> activity = std::make_shared<CountingActivity>();
    std::shared_ptr<SorvantaModel> model = SorvantaModel::create(
        {service, executor, scheduler, alert, activity, {}, "Studio", {}, [this](auto&) {
             ++applied;
         }});
    std::uint64_t revision = 0;
    int applied = 0;

    void start() {
        model->resume();
        executor->drain();
    }
    // Publishes `s` from the service with the next revision and hands it over.
    void publish(ServiceSnapshot s) {
        s.revision = ++revision;
        service->publish(s);
        executor->drain();
    }
    static ServiceSnapshot ready() {
        ServiceSnapshot s;
        s.state = ConnectionState::ready;
        s.detectedInterfaces = {WiredInterface{{"eth1", 3}, "eth", {}, {}, true, {}}};
        return s;
    }
};

TEST_F(ModelTest, StartsAndStopsInTheOrderAsked) {
    model->resume();
    model->resume();
    model->suspend();
    model->resume();
    EXPECT_TRUE(service->calls.empty());  // nothing runs inside the calls
    executor->drain();
    EXPECT_EQ(service->calls, (std::vector<std::string>{"start", "stop", "start"}));
    EXPECT_TRUE(model->started());

    auto fresh = SorvantaModel::create({service, executor, scheduler, alert, {}, {}, {}, {}, {}});
    service->calls.clear();
    fresh->suspend();
    executor->drain();
    EXPECT_EQ(service->calls, (std::vector<std::string>{"stop"}));
    EXPECT_FALSE(fresh->started());
}

TEST_F(ModelTest, AppliesInRevisionOrderAndDropsPublishesOfAGoneModel) {
    start();
    auto s = ready();
    s.revision = 9;
    service->publish(s);
    executor->drain();
    scheduler->advance(5);
    s.revision = 7;
    s.state = ConnectionState::searching;
    service->publish(s);
    executor->drain();
    EXPECT_EQ(model->rawSnapshot().revision, 9u);
    EXPECT_EQ(model->snapshot().state, ConnectionState::ready);
    EXPECT_EQ(applied, 1);
    EXPECT_EQ(scheduler->nextDue(), 10.0);  // the stale one did not restart the settling window
    s.revision = 9;
    service->publish(s);
    executor->drain();
    EXPECT_EQ(model->rawSnapshot().state, ConnectionState::searching);

    service->publish(s);
    model.reset();
    executor->drain();  // the handed-over snapshot finds no model and does nothing
}

TEST_F(ModelTest, SettlingAndArrivalWindows) {
    start();
    struct Step {
        const char* name;
        std::function<void(ServiceSnapshot&)> change;
        double after;  // seconds to advance after applying
        bool settling;
        bool arriving;
    };
    auto s = ServiceSnapshot{};
    const Step steps[] = {
        {"first snapshot lists an adapter", [](auto& s) { s = ready(); }, 0, true, false},
        {"settling ends after 15 s", [](auto&) {}, 15, false, false},
        {"link state unknown", [](auto& s) { s.detectedInterfaces[0].linkActive.reset(); }, 10,
         true, false},
        {"ready to probing keeps quiet", [](auto& s) { s.state = ConnectionState::probing; }, 0,
         true, false},
        {"restarted 10 s in: still settling at 14 s",
         [](auto& s) { s.state = ConnectionState::searching; }, 14, true, false},
        {"and over at 15 s", [](auto&) {}, 1, false, false},
        {"unplugged", [](auto& s) { s.detectedInterfaces.clear(); }, 0, true, false},
        {"plugged back in", [](auto& s) { s = ready(), s.state = ConnectionState::searching; }, 14,
         true, true},
        {"arrival outlasts settling", [](auto&) {}, 2, false, true},
        {"arrival ends after 20 s", [](auto&) {}, 4, false, false},
    };
    for (const auto& step : steps) {
        step.change(s);
        publish(s);
        scheduler->advance(step.after);
        EXPECT_EQ(model->settling(), step.settling) << step.name;
        EXPECT_EQ(model->adapterArriving(), step.arriving) << step.name;
    }
}

TEST_F(ModelTest, TestActivityAndShownSnapshot) {
    start();
    auto s = ready();
    s.speed.busy = true;
    s.speed.run = Uuid::random();
    publish(s);
    publish(s);
    EXPECT_EQ(activity->begun, 1);
    EXPECT_TRUE(model->snapshot().resultContext);
    EXPECT_TRUE(model->visibility().mayRevealCurrent);
    ASSERT_TRUE(model->connectionDetailsText());
    EXPECT_EQ(model->connectionDetailsText()->rfind("Sorvanta \u2022 Connection Details\n\n", 0),
              0u);
    s.speed.busy = false;
    publish(s);
    EXPECT_EQ(activity->ended, 1);
}

TEST_F(ModelTest, LowPowerConfirmation) {
    start();
    struct Case {
        bool local;
        std::optional<bool> peer;
        std::optional<std::string> peerName;
        LowPowerAlert::Choice choice;
        const char* message;  // nullptr: no alert
        bool sent;
    };
    const Case cases[] = {
        {false, std::nullopt, "Mini", LowPowerAlert::Choice::cancel, nullptr, true},
        {false, false, "Mini", LowPowerAlert::Choice::cancel, nullptr, true},
        {false, true, std::nullopt, LowPowerAlert::Choice::testAnyway,
         "The other Mac is in Low Power Mode", true},
        {true, std::nullopt, "Mini", LowPowerAlert::Choice::cancel, "Studio is in Low Power Mode",
         false},
        {true, true, "Mini", LowPowerAlert::Choice::testAnyway, "Both Macs are in Low Power Mode",
         true},
    };
    for (const auto& c : cases) {
        auto s = ready();
        s.localLowPower = c.local;
        s.activePeerLowPower = c.peer;
        s.activePeerName = c.peerName;
        publish(s);
        alert->shown.clear();
        alert->choice = c.choice;
        service->calls.clear();
        model->startTest();
        EXPECT_EQ(service->calls,
                  c.sent ? std::vector<std::string>{"test"} : std::vector<std::string>{});
        ASSERT_EQ(alert->shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(alert->shown[0].message, c.message);
            const bool both = c.local && c.peer == true;
            EXPECT_NE(alert->shown[0].informative.find(both ? "plug both Macs in" : "plug it in"),
                      std::string::npos);
        }
    }
}

TEST_F(ModelTest, TestAndSearchEnabling) {
    struct Case {
        const char* name;
        std::function<void(ServiceSnapshot&)> change;
        bool started;
        bool canTest;
        bool canSearch;
    };
    using Phase = SpeedSnapshot::Phase;
    const Case cases[] = {
        {"ready, link unknown", [](auto&) {}, true, true, true},
        {"not direct", [](auto& s) { s.directLink = false; }, true, false, true},
        {"stopped during a shown test", [](auto& s) { s.speed.busy = true; }, false, false, true},
        {"test busy", [](auto& s) { s.speed.busy = true, s.speed.phase = Phase::measuring; }, true,
         false, false},
        {"test checking", [](auto& s) { s.speed.busy = true, s.speed.phase = Phase::checking; },
         true, false, true},
        {"refused while connecting",
         [](auto& s) {
             s.state = ConnectionState::connecting, s.permission = LocalNetworkState::unavailable;
         },
         true, false, true},
        {"connecting", [](auto& s) { s.state = ConnectionState::connecting; }, true, false, false},
        {"probing", [](auto& s) { s.state = ConnectionState::probing; }, true, false, false},
    };
    start();
    for (const auto& c : cases) {
        auto s = ready();
        c.change(s);
        EXPECT_EQ(SorvantaModel::canSearchAgain(s, c.started), c.canSearch) << c.name;
        publish(s);
        EXPECT_EQ(model->canStartTest(), c.canTest) << c.name;
    }

    // Search Again while stopped only starts the service.
    model->suspend();
    executor->drain();
    scheduler->advance(15);
    service->calls.clear();
    model->searchAgain();
    executor->drain();
    EXPECT_EQ(service->calls, std::vector<std::string>{"start"});
    EXPECT_FALSE(model->settling());
    publish(ready());
    scheduler->advance(15);
    model->searchAgain();
    EXPECT_TRUE(model->settling());
    EXPECT_EQ(service->calls.back(), "searchAgain");
}

}  // namespace
}  // namespace sorvanta
