#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/sorvanta_application.h"
#include "assessment/run_fixture.h"

namespace sorvanta::testing {

// One application object for the test program, on Qt's offscreen platform.
inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals are gone by the time static objects are.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop until nothing is left to do now (bounded).
inline void settle() {
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// A service that records what it was asked and publishes what the test gives it.
class FakeService final : public ModelService {
  public:
    void start(Publish publish) override {
        publish_ = std::move(publish);
        calls.push_back("start");
    }
    void stop() override { calls.push_back("stop"); }
    void searchAgain() override { calls.push_back("searchAgain"); }
    void selectInterface(int index) override { calls.push_back("select " + std::to_string(index)); }
    void startQuickTest(QuickProfile) override { calls.push_back("startQuickTest"); }
    void stopQuickTest() override { calls.push_back("stopQuickTest"); }
    const Uuid& localID() const override { return fixture::macA; }
    void publish(ServiceSnapshot s) {
        s.revision = ++revision_;
        if (publish_)
            publish_(s);
    }
    std::vector<std::string> calls;

  private:
    Publish publish_;
    std::uint64_t revision_ = 0;
};

class FakeAlert final : public LowPowerAlert {
  public:
    Choice ask(const Content& content) override {
        asked.push_back(content);
        return answer;
    }
    Choice answer = Choice::cancel;
    std::vector<Content> asked;
};

// The whole application around a fake service, shown, with motion reduced so that every
// picture is final at once.
struct Harness {
    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    std::shared_ptr<FakeAlert> alert = std::make_shared<FakeAlert>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1000);
    std::unique_ptr<SorvantaApplication> app;

    using Adjust = std::function<void(SorvantaApplication::Options&)>;

    explicit Harness(bool reduceMotion = true, bool dark = false, const Adjust& adjust = {}) {
        qtApp();
        SorvantaApplication::Options options;
        options.service = service;
        options.clock = clock;
        options.alert = alert;
        options.hostName = "Studio";
        options.listenForSleep = false;
        options.appearance.reduceMotion = reduceMotion;
        options.appearance.palette = Palette::forScheme(dark);
        if (adjust)
            adjust(options);
        app = std::make_unique<SorvantaApplication>(std::move(options));
        app->show();
        settle();
    }
    ~Harness() {
        app->mainWindow().close();
        settle();
    }
    void publish(const ServiceSnapshot& s) {
        service->publish(s);
        settle();
    }
};

// Connected to "Mini" over one adapter with its link up.
inline ServiceSnapshot ready() {
    ServiceSnapshot s;
    s.state = ConnectionState::ready;
    s.permission = LocalNetworkState::available;
    WiredInterface eth;
    eth.identity = {"eth2", 2};
    eth.label = "Ethernet";
    eth.linkActive = true;
    eth.linkSpeed = 1'000'000'000;
    s.detectedInterfaces = s.interfaces = {eth};
    s.selectedIndex = 2;
    s.peers = {Peer{"mini", "Mini", fixture::macB, true, std::nullopt}};
    s.activePeerName = "Mini";
    s.directLink = true;
    return s;
}

// A run in its measuring phase, forward stage, this computer sending.
inline ServiceSnapshot measuring() {
    ServiceSnapshot s = ready();
    s.speed = fixture::completeRun();
    s.speed.busy = true;
    s.speed.phase = SpeedSnapshot::Phase::measuring;
    s.speed.stage = 0;
    s.speed.stages.clear();
    s.speed.quality = {};
    DirectionMeasurement d;
    d.sender = fixture::macA;
    d.sample = SpeedSample{470'000'000, 4, 941e6, true, {}, {}};
    s.speed.directions = {d};
    s.speed.status = "Measuring outbound.";
    return s;
}

inline ServiceSnapshot finished() {
    ServiceSnapshot s = ready();
    s.speed = fixture::completeRun();
    return s;
}

}  // namespace sorvanta::testing
