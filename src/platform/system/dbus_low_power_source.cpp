#include "platform/system/dbus_low_power_source.h"

#include "platform/system/power_profile_watch.h"

namespace sorvanta {

DbusLowPowerSource::DbusLowPowerSource() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) >= 0) {
        begin(PowerProfileWatch::open(bus));
    }
}

DbusLowPowerSource::DbusLowPowerSource(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return;
    }
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_close_unref(bus);
        return;
    }
    begin(PowerProfileWatch::open(bus));
}

void DbusLowPowerSource::begin(std::unique_ptr<PowerProfileWatch> watch) {
    if (!watch) {
        return;
    }
    value_ = watch->lowPower();
    watch_ = std::move(watch);
    thread_ = std::thread([this] { watch_->run([this](bool value) { publish(value); }); });
}

DbusLowPowerSource::~DbusLowPowerSource() {
    if (thread_.joinable()) {
        watch_->wake();
        thread_.join();
    }
    stop();
}

void DbusLowPowerSource::publish(bool value) {
    if (value_.exchange(value) == value) {
        return;
    }
    const std::lock_guard lock(mutex_);
    if (executor_ && handler_) {
        gate_.post(*executor_, [handler = handler_, value] { handler(value); });
    }
}

void DbusLowPowerSource::start(NetworkExecutor executor, ChangeHandler handler) {
    const std::lock_guard lock(mutex_);
    gate_.close();
    gate_ = HandlerGate();
    executor_ = std::move(executor);
    handler_ = std::move(handler);
}

void DbusLowPowerSource::stop() {
    const std::lock_guard lock(mutex_);
    gate_.close();
    executor_.reset();
    handler_ = nullptr;
}

}  // namespace sorvanta
