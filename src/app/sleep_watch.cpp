#include "app/sleep_watch.h"

#include <systemd/sd-bus.h>

#include <QSocketNotifier>
#include <QTimer>

namespace sorvanta {
namespace {

int onSignal(sd_bus_message* m, void* self, sd_bus_error*) {
    int start = 0;
    if (sd_bus_message_read(m, "b", &start) >= 0)
        static_cast<SleepWatch*>(self)->prepareForSleep(start != 0);
    return 0;
}

}  // namespace

SleepWatch::SleepWatch(std::function<void()> willSleep, std::function<void()> didWake,
                       QObject* parent)
    : QObject(parent), willSleep_(std::move(willSleep)), didWake_(std::move(didWake)) {
    if (sd_bus_open_system(&bus_) < 0) {
        bus_ = nullptr;
        return;
    }
    if (sd_bus_match_signal(bus_, &slot_, "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", &onSignal,
                            this) < 0) {
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
        return;
    }
    notifier_ = new QSocketNotifier(sd_bus_get_fd(bus_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { process(); });
    // Messages already read into the bus's buffer are handled without waiting for the socket.
    QTimer::singleShot(0, this, [this] { process(); });
}

SleepWatch::~SleepWatch() {
    if (slot_ != nullptr)
        sd_bus_slot_unref(slot_);
    if (bus_ != nullptr)
        sd_bus_flush_close_unref(bus_);
}

void SleepWatch::prepareForSleep(bool start) {
    // Reported from the event loop, never inside the bus's own processing.
    QTimer::singleShot(0, this, [this, start] {
        const auto& report = start ? willSleep_ : didWake_;
        if (report)
            report();
    });
}

void SleepWatch::process() {
    if (bus_ == nullptr)
        return;
    // A bounded number of messages per wake-up keeps the window responsive.
    for (int i = 0; i < 64; ++i) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            notifier_->setEnabled(false);
            return;
        }
        if (r == 0)
            return;
    }
    QTimer::singleShot(0, this, [this] { process(); });
}

}  // namespace sorvanta
