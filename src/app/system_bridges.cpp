#include "app/system_bridges.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <QMessageBox>
#include <QPushButton>
#include <string>

namespace sorvanta {

LowPowerAlert::Choice QtLowPowerAlert::ask(const Content& content) {
    QMessageBox box(parent_.data());
    box.setWindowTitle(QStringLiteral("Sorvanta"));
    box.setText(QString::fromStdString(content.message));
    box.setInformativeText(QString::fromStdString(content.informative));
    QPushButton* testAnyway = box.addButton(QStringLiteral("Test Anyway"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(testAnyway);
    box.exec();
    return box.clickedButton() == testAnyway ? Choice::testAnyway : Choice::cancel;
}

void LogindTestActivity::begin(std::string_view reason) {
    if (fd_ >= 0)
        return;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return;
    sd_bus_set_method_call_timeout(bus, 500'000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const std::string why(reason);
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "sleep:idle", "Sorvanta", why.c_str(), "block") >= 0) {
        int fd = -1;
        // The reply owns its descriptor; keep a copy of our own.
        if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0)
            fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        sd_bus_message_unref(reply);
    }
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
}

void LogindTestActivity::end() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
}

void OfflineService::start(Publish publish) {
    publish_ = std::move(publish);
    snapshot_.state = ConnectionState::searching;
    snapshot_.status = "Looking for an Ethernet link\u2026";
    this->publish();
}

void OfflineService::stop() {
    if (!publish_)
        return;
    snapshot_.state = ConnectionState::idle;
    publish();
    publish_ = nullptr;
}

void OfflineService::publish() {
    if (!publish_)
        return;
    ++snapshot_.revision;
    publish_(snapshot_);
}

}  // namespace sorvanta
