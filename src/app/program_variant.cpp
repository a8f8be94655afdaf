#include "app/program_variant.h"

#include <QApplication>
#include <QPalette>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/desktop_preferences.h"
#include "app/session_bus.h"
#include "app/signal_watch.h"
#include "app/sorvanta_application.h"
#include "model/wire_model_service.h"
#include "platform/net/asio_scheduler.h"
#include "platform/system/computer_name.h"
#include "platform/system/dbus_low_power_source.h"
#include "platform/system/model_identifier_reader.h"
#include "platform/system_network_factory.h"
#include "quicktest/make_quick_test.h"
#include "quicktest/transfer_engine_factory.h"

namespace sorvanta {

int runProgram(int argc, char** argv, const ProgramVariant& variant) {
    // The launch arguments exactly as given, before the toolkit takes its own.
    const std::vector<std::string> arguments(argv, argv + argc);
    keepSessionBusFromStarting();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvanta"));
    QApplication::setQuitOnLastWindowClosed(true);

    const DesktopPreferences desktop = DesktopPreferences::read();
    const QColor window = QApplication::palette().color(QPalette::Window);
    SorvantaApplication::Options options;
    options.appearance.palette = Palette::forScheme(desktop.darkOr(window.lightnessF() < 0.5));
    options.appearance.reduceMotion = desktop.motionReduced();
    matchToolkitPalette(options.appearance.palette);
    options.service = std::make_shared<WireModelService>([hardwareReader = variant.hardware](
                                                             NetworkExecutor executor) {
        auto hardware = hardwareReader();
        auto lowPower = std::make_shared<DbusLowPowerSource>();
        auto network = std::make_shared<SystemNetworkFactory>();
        auto engines = std::make_shared<TransferEngineFactory>(executor, network);
        WireService::Dependencies deps{executor,
                                       network,
                                       std::make_shared<AsioScheduler>(executor),
                                       hardware,
                                       lowPower,
                                       quickTestFactory(executor, engines, hardware, lowPower),
                                       {},
                                       computerName().value_or(""),
                                       ModelIdentifierReader::current(),
                                       std::nullopt};
        return deps;
    });
    options.activity = std::make_shared<LogindTestActivity>();
    options.hostName = computerName();
    options.saveReports = {
        ReportSaveSchedule::enabledBy(arguments),
        ReportFolder::forUser(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"))};
    options.build = {SORVANTA_VERSION, SORVANTA_BUILD};
    SorvantaApplication sorvanta(std::move(options));
    // A logout, a shutdown or Ctrl-C quits as Quit Sorvanta does: the service stops and says
    // goodbye, so the other computer shows this one gone at once.
    SignalWatch quitOnSignal({SIGTERM, SIGINT}, [&sorvanta](int) { sorvanta.quit(); });
    sorvanta.show();
    if (variant.watch) {
        variant.watch(sorvanta);
    }
    return QApplication::exec();
}

}  // namespace sorvanta
