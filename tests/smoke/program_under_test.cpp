// The desktop program exactly as shipped but for its hardware reader: the interface named by
// SORVANTA_WIRED_ADAPTER (a veth end inside a network namespace) counts as a wired PCI
// adapter with an active gigabit full-duplex link, so two copies can find each other and test
// across a link a test made. Built only with the tests.
#include <net/if.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/program_variant.h"
#include "lab/fake_system.h"
#include "platform/system/sysfs_wired_hardware_reader.h"

int main(int argc, char** argv) {
    using namespace sorvanta;
    const char* adapter = std::getenv("SORVANTA_WIRED_ADAPTER");
    if (adapter == nullptr || *adapter == '\0') {
        return runProgram(argc, argv,
                          {[] { return std::make_shared<SysfsWiredHardwareReader>(); }});
    }
    const std::string name = adapter;
    return runProgram(argc, argv, {[name]() -> std::shared_ptr<WiredHardwareReader> {
                          auto hardware = std::make_shared<testing::FakeWiredHardwareReader>();
                          hardware->admitPci(name, static_cast<int>(::if_nametoindex(name.c_str())),
                                             {true, 1'000'000'000, true});
                          return hardware;
                      }});
}
