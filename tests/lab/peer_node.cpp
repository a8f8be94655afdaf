// One running copy of the service as its own process, for scenarios that end a copy the way
// an operating system does (SIGKILL, SIGTERM, SIGINT). Usage:
//   peer_node <namespace> <device> <index> <name> <instance uuid>
// It enters the namespace, admits the device as its one wired PCI adapter, runs the real
// service the way the program does (its own io thread; a termination signal quits through the
// same watch as the program's main), and prints one line per published snapshot:
//   state=<state>\tpeers=<count>\tactive=<peer name>\tstatus=<status>
// then "exited" once the service has stopped.
#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "app/signal_watch.h"
#include "lab/fake_system.h"
#include "lab/netns_lab.h"
#include "lab/stub_quick_test.h"
#include "model/wire_model_service.h"
#include "platform/net/asio_scheduler.h"
#include "platform/system_network_factory.h"

namespace {

using namespace sorvanta;
using testing::StubQuickTest;

std::mutex outputMutex;

void print(const std::string& line) {
    const std::lock_guard lock(outputMutex);
    std::cout << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: peer_node <namespace> <device> <index> <name> <uuid>\n";
        return 2;
    }
    const std::string device = argv[2];
    const int index = std::stoi(argv[3]);
    const std::string name = argv[4];
    const auto instance = Uuid::parse(argv[5]);
    if (!instance) {
        std::cerr << "not a UUID: " << argv[5] << "\n";
        return 2;
    }
    // Before any thread exists, so that every thread made later is in the namespace too.
    testing::NetnsLab::enter(argv[1]);
    QCoreApplication app(argc, argv);
    SignalWatch quitOnSignal({SIGTERM, SIGINT}, [](int) { QCoreApplication::quit(); });
    {
        auto hardware = std::make_shared<testing::FakeWiredHardwareReader>();
        hardware->admitPci(device, index);
        WireModelService service([&](NetworkExecutor executor) {
            return WireService::Dependencies{executor,
                                             std::make_shared<SystemNetworkFactory>(),
                                             std::make_shared<AsioScheduler>(executor),
                                             hardware,
                                             std::make_shared<testing::FakeLowPowerSource>(),
                                             [](QuickTest::Setup setup) {
                                                 auto run = std::make_shared<StubQuickTest>();
                                                 run->setup = std::move(setup);
                                                 return run;
                                             },
                                             [](ServiceLogLevel, const std::string&) {},
                                             name,
                                             std::nullopt,
                                             *instance};
        });
        service.start([](const ServiceSnapshot& s) {
            print("state=" + std::string(json::enumName(s.state)) +
                  "\tpeers=" + std::to_string(s.peers.size()) +
                  "\tactive=" + s.activePeerName.value_or("") + "\tstatus=" + s.status);
        });
        QCoreApplication::exec();
        // Leaving the scope stops the service: its goodbyes go out here.
    }
    print("exited");
    return 0;
}
