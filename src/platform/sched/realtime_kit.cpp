#include "platform/sched/realtime_kit.h"

#include <systemd/sd-bus.h>

#include <cstdlib>

namespace sorvanta {
namespace {

constexpr const char* serviceName = "org.freedesktop.RealtimeKit1";
constexpr const char* objectPath = "/org/freedesktop/RealtimeKit1";

// Where sd_bus_open_system() looks for the system bus.
std::string systemBusAddress() {
    const char* address = ::secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address != nullptr && *address != '\0' ? address
                                                  : "unix:path=/run/dbus/system_bus_socket";
}

// Errors that say no one on the bus answers to the name: asking again would not help.
bool namesNoService(const sd_bus_error* error) {
    return sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

}  // namespace

// One connection and the calls made over it, all within one deadline. sd-bus's own blocking
// calls bound a call by its timeout but not the connecting before it, so the waiting is done
// here.
class RealtimeKit::Exchange {
  public:
    Exchange(const std::string& address, std::chrono::microseconds patience)
        : deadline_(std::chrono::steady_clock::now() + patience) {
        if (sd_bus_new(&bus_) < 0) {
            bus_ = nullptr;
            missing_ = true;
            return;
        }
        const auto timeout = static_cast<std::uint64_t>(patience.count());
        if (sd_bus_set_address(bus_, address.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
            sd_bus_set_method_call_timeout(bus_, timeout) < 0 || sd_bus_start(bus_) < 0) {
            missing_ = true;  // no bus there
        }
    }
    ~Exchange() { sd_bus_close_unref(bus_); }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Whether the bus or the service turned out to be missing.
    bool missing() const { return missing_; }

    // Reads a property of the service holding a value of type `type` (a basic D-Bus type).
    template <typename Value>
    std::optional<Value> property(const char* name, char type) {
        sd_bus_message* request = nullptr;
        if (missing_ ||
            sd_bus_message_new_method_call(bus_, &request, serviceName, objectPath,
                                           "org.freedesktop.DBus.Properties", "Get") < 0) {
            return std::nullopt;
        }
        std::optional<Value> value;
        if (sd_bus_message_append(request, "ss", serviceName, name) >= 0) {
            if (sd_bus_message* reply = call(request)) {
                const char contents[2] = {type, '\0'};
                Value read{};
                if (sd_bus_message_enter_container(reply, 'v', contents) > 0 &&
                    sd_bus_message_read_basic(reply, type, &read) > 0) {
                    value = read;
                }
                sd_bus_message_unref(reply);
            }
        }
        sd_bus_message_unref(request);
        return value;
    }

    bool makeThreadRealtime(std::uint64_t thread, std::uint32_t priority) {
        sd_bus_message* request = nullptr;
        if (missing_ || sd_bus_message_new_method_call(bus_, &request, serviceName, objectPath,
                                                       serviceName, "MakeThreadRealtime") < 0) {
            return false;
        }
        bool granted = false;
        if (sd_bus_message_append(request, "tu", thread, priority) >= 0) {
            if (sd_bus_message* reply = call(request)) {
                granted = true;
                sd_bus_message_unref(reply);
            }
        }
        sd_bus_message_unref(request);
        return granted;
    }

  private:
    struct Pending {
        bool done = false;
        sd_bus_message* reply = nullptr;
    };

    static int replied(sd_bus_message* reply, void* data, sd_bus_error*) {
        auto* pending = static_cast<Pending*>(data);
        pending->done = true;
        pending->reply = sd_bus_message_ref(reply);
        return 0;
    }

    // Sends `request` and waits, at most until the deadline, for its reply: the reply, or
    // null when it was an error or did not come in time.
    sd_bus_message* call(sd_bus_message* request) {
        Pending pending;
        sd_bus_slot* slot = nullptr;
        if (sd_bus_call_async(bus_, &slot, request, &Exchange::replied, &pending, 0) < 0) {
            missing_ = true;
            return nullptr;
        }
        while (!pending.done) {
            const int processed = sd_bus_process(bus_, nullptr);
            if (processed < 0) {
                missing_ = true;  // the connection failed
                break;
            }
            if (processed > 0) {
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline_ - std::chrono::steady_clock::now());
            if (left.count() <= 0 ||
                sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count())) < 0) {
                break;
            }
        }
        sd_bus_slot_unref(slot);
        if (pending.reply != nullptr && sd_bus_message_is_method_error(pending.reply, nullptr)) {
            if (namesNoService(sd_bus_message_get_error(pending.reply))) {
                missing_ = true;
            }
            pending.reply = sd_bus_message_unref(pending.reply);
        }
        return pending.reply;
    }

    std::chrono::steady_clock::time_point deadline_;
    sd_bus* bus_ = nullptr;
    bool missing_ = false;
};

RealtimeKit::RealtimeKit() : RealtimeKit(systemBusAddress()) {}

RealtimeKit::RealtimeKit(std::string address, std::chrono::microseconds patience)
    : address_(std::move(address)), patience_(patience) {}

std::optional<RealtimeBroker::Limits> RealtimeKit::limits() {
    if (missing_) {
        return std::nullopt;
    }
    Exchange exchange(address_, patience_);
    const auto priority = exchange.property<std::int32_t>("MaxRealtimePriority", 'i');
    const auto run =
        priority ? exchange.property<std::int64_t>("RTTimeUSecMax", 'x') : std::nullopt;
    if (exchange.missing()) {
        missing_ = true;
    }
    if (!priority || !run || *run < 0) {
        return std::nullopt;
    }
    return Limits{*priority, static_cast<std::uint64_t>(*run)};
}

bool RealtimeKit::makeThreadRealtime(std::uint64_t thread, std::uint32_t priority) {
    if (missing_) {
        return false;
    }
    Exchange exchange(address_, patience_);
    const bool granted = exchange.makeThreadRealtime(thread, priority);
    if (exchange.missing()) {
        missing_ = true;
    }
    return granted;
}

}  // namespace sorvanta
