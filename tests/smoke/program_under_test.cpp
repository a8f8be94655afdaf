// The desktop program exactly as shipped but for two things a veth cannot say: the interface
// named by SORVANTA_WIRED_ADAPTER (a veth end inside a network namespace) counts as a wired
// PCI adapter, and its link, while up, as gigabit. Everything else about it (whether it is
// there, its index, its carrier) the shipped reader reads from the kernel, so a test can pull
// the cable or replace the adapter. Each new text of the main window's band is printed as
// "shown: <text>" on standard output, for scenarios that check what the user sees. Built
// only with the tests.
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "app/program_variant.h"
#include "app/sorvanta_application.h"
#include "app/stage_widget.h"
#include "platform/system/ethtool_media_query.h"
#include "platform/system/sysfs_wired_hardware_reader.h"

namespace {

using namespace sorvanta;

constexpr std::uint64_t gigabit = 1'000'000'000;
constexpr int watchMilliseconds = 100;

std::shared_ptr<WiredHardwareReader> readerAdmitting(const std::string& adapter) {
    HardwareIdentity pci;
    pci.bus = HardwareIdentity::Bus::pci;
    auto media = [adapter](const std::string& name) {
        auto reading = ethtoolMediaReading(name);
        if (name == adapter && reading.active) {
            reading.rate = gigabit;  // the test shapes the link to this; a veth says 10 Gbit/s
        }
        return reading;
    };
    return std::make_shared<SysfsWiredHardwareReader>(
        "/", media, SysfsWiredHardwareReader::StandIns{{adapter, pci}});
}

// The band's text as its accessible name gives it, the same text it draws.
void printBandText(SorvantaApplication& program) {
    auto* timer = new QTimer(&program);
    QObject::connect(timer, &QTimer::timeout, [&program, shown = std::string()]() mutable {
        const auto text = program.mainWindow().stage()->accessibleName().toStdString();
        if (text != shown) {
            shown = text;
            std::cout << "shown: " << text << std::endl;
        }
    });
    timer->start(watchMilliseconds);
}

}  // namespace

int main(int argc, char** argv) {
    const char* adapter = std::getenv("SORVANTA_WIRED_ADAPTER");
    if (adapter == nullptr || *adapter == '\0') {
        return runProgram(argc, argv,
                          {[] { return std::make_shared<SysfsWiredHardwareReader>(); }, {}});
    }
    const std::string name = adapter;
    return runProgram(argc, argv, {[name] { return readerAdmitting(name); }, printBandText});
}
