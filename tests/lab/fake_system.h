#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/admission_class.h"
#include "platform/system/low_power_source.h"
#include "platform/system/wired_hardware_reader.h"
#include "protocol/adapter_profile.h"

namespace sorvanta::testing {

// Hardware as a test scripts it: adapters by interface name, each with its identity,
// connection type and link. Admitted adapters with an index above 0 form the inventory.
class FakeWiredHardwareReader final : public WiredHardwareReader {
  public:
    struct Adapter {
        int index = 0;
        std::string label = "Ethernet";
        std::optional<HardwareIdentity> identity;
        WiredInterface::ConnectionType type = WiredInterface::ConnectionType::pci;
        LinkReading link;
    };

    // Makes `name` (a veth end, say) a wired PCI adapter with the given link.
    void admitPci(const std::string& name, int index,
                  LinkReading link = {true, 1'000'000'000, true}) {
        HardwareIdentity identity;
        identity.bus = HardwareIdentity::Bus::pci;
        set(name, {index, "Ethernet", identity, WiredInterface::ConnectionType::pci, link});
    }
    void set(const std::string& name, Adapter adapter) {
        const std::lock_guard lock(mutex_);
        adapters_[name] = std::move(adapter);
    }
    void remove(const std::string& name) {
        const std::lock_guard lock(mutex_);
        adapters_.erase(name);
    }
    void setLink(const std::string& name, LinkReading link) {
        const std::lock_guard lock(mutex_);
        adapters_[name].link = link;
    }
    void setOnBus(bool onBus) {
        const std::lock_guard lock(mutex_);
        onBus_ = onBus;
    }
    void setDescriptions(std::string text) {
        const std::lock_guard lock(mutex_);
        descriptions_ = std::move(text);
    }

    std::vector<WiredInterface> wiredInventory() const override {
        const std::lock_guard lock(mutex_);
        std::vector<WiredInterface> inventory;
        for (const auto& [name, a] : adapters_) {
            if (a.index > 0 && a.identity && isAdmitted(adapterAdmission(*a.identity))) {
                inventory.push_back({{name, a.index},
                                     a.label,
                                     a.type,
                                     a.link.rate,
                                     a.link.active,
                                     AdapterProfile::fromIdentity(*a.identity)});
            }
        }
        std::sort(inventory.begin(), inventory.end(),
                  [](const auto& x, const auto& y) { return x.id() < y.id(); });
        return inventory;
    }
    std::optional<HardwareIdentity> registryAdapter(const std::string& name) const override {
        const std::lock_guard lock(mutex_);
        const auto found = adapters_.find(name);
        return found == adapters_.end() ? std::nullopt : found->second.identity;
    }
    WiredInterface::ConnectionType connectionType(const std::string& name) const override {
        const std::lock_guard lock(mutex_);
        const auto found = adapters_.find(name);
        return found == adapters_.end() ? WiredInterface::ConnectionType::unknown
                                        : found->second.type;
    }
    LinkReading linkState(const std::string& name) const override {
        const std::lock_guard lock(mutex_);
        const auto found = adapters_.find(name);
        return found == adapters_.end() ? LinkReading{} : found->second.link;
    }
    bool qualifiedAdapterOnBus() const override {
        const std::lock_guard lock(mutex_);
        return onBus_;
    }
    std::string interfaceDescriptions() const override {
        const std::lock_guard lock(mutex_);
        return descriptions_;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, Adapter> adapters_;
    bool onBus_ = false;
    std::string descriptions_;
};

// Low Power Mode as a test sets it; a change is posted to the started executor.
class FakeLowPowerSource final : public LowPowerSource {
  public:
    void set(bool lowPower) {
        const std::lock_guard lock(mutex_);
        if (lowPower == value_) {
            return;
        }
        value_ = lowPower;
        if (executor_ && handler_) {
            gate_.post(*executor_, [handler = handler_, lowPower] { handler(lowPower); });
        }
    }

    bool lowPower() const override {
        const std::lock_guard lock(mutex_);
        return value_;
    }
    void start(NetworkExecutor executor, ChangeHandler handler) override {
        const std::lock_guard lock(mutex_);
        gate_.close();
        gate_ = HandlerGate();
        executor_ = std::move(executor);
        handler_ = std::move(handler);
    }
    void stop() override {
        const std::lock_guard lock(mutex_);
        gate_.close();
        executor_.reset();
        handler_ = nullptr;
    }

  private:
    mutable std::mutex mutex_;
    bool value_ = false;
    std::optional<NetworkExecutor> executor_;
    ChangeHandler handler_;
    HandlerGate gate_;
};

}  // namespace sorvanta::testing
