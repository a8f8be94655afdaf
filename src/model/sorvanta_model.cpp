#include "model/sorvanta_model.h"

#include <algorithm>
#include <set>

#include "protocol/interface_identity.h"

namespace sorvanta {
namespace {

bool readyOrProbing(ConnectionState state) {
    return state == ConnectionState::ready || state == ConnectionState::probing;
}

}  // namespace

std::shared_ptr<SorvantaModel> SorvantaModel::create(Dependencies dependencies) {
    return std::shared_ptr<SorvantaModel>(new SorvantaModel(std::move(dependencies)));
}

SorvantaModel::SorvantaModel(Dependencies dependencies)
    : deps_(std::move(dependencies)), service_(deps_.service) {
    if (!deps_.currentTime) {
        deps_.currentTime = [] { return std::chrono::system_clock::now(); };
    }
}

std::chrono::system_clock::time_point SorvantaModel::now() const {
    return deps_.currentTime();
}

void SorvantaModel::notify() {
    if (observer_) {
        observer_();
    }
}

void SorvantaModel::setFlag(bool& flag, bool value) {
    if (flag != value) {
        flag = value;
        notify();
    }
}

void SorvantaModel::resume(std::function<void()> done) {
    lifecycle_.emplace_back(true, std::move(done));
    if (!lifecycleRunning_) {
        lifecycleRunning_ = true;
        deps_.executor->post([self = shared_from_this()] { self->runLifecycle(); });
    }
}

void SorvantaModel::suspend(std::function<void()> done) {
    lifecycle_.emplace_back(false, std::move(done));
    if (!lifecycleRunning_) {
        lifecycleRunning_ = true;
        deps_.executor->post([self = shared_from_this()] { self->runLifecycle(); });
    }
}

// One request at a time. The service carries its commands out in the order given, so a stop
// handed to it before a start has finished before the start begins.
void SorvantaModel::runLifecycle() {
    auto [start, done] = std::move(lifecycle_.front());
    lifecycle_.erase(lifecycle_.begin());
    if (start) {
        if (!started_) {
            setFlag(started_, true);
            std::weak_ptr<SorvantaModel> weak = weak_from_this();
            service_->start([weak, executor = deps_.executor](const ServiceSnapshot& published) {
                executor->post([weak, copy = published] {
                    if (auto model = weak.lock()) {
                        model->apply(copy);
                    }
                });
            });
        }
    } else {
        service_->stop();
        setFlag(started_, false);
    }
    if (done) {
        done();
    }
    if (lifecycle_.empty()) {
        lifecycleRunning_ = false;
    } else {
        deps_.executor->post([self = shared_from_this()] { self->runLifecycle(); });
    }
}

void SorvantaModel::refresh() {
    snapshot_ = visibility_.observe(rawSnapshot_, now());
    notify();
}

void SorvantaModel::beginSettling() {
    setFlag(settling_, true);
    if (settlingTimer_) {
        deps_.scheduler->cancel(*settlingTimer_);
    }
    settlingTimer_ = deps_.scheduler->schedule(settlingSeconds, [weak = weak_from_this()] {
        if (auto model = weak.lock()) {
            model->setFlag(model->settling_, false);
        }
    });
}

void SorvantaModel::beginAdapterArrival() {
    setFlag(adapterArriving_, true);
    if (arrivalTimer_) {
        deps_.scheduler->cancel(*arrivalTimer_);
    }
    arrivalTimer_ = deps_.scheduler->schedule(adapterArrivalSeconds, [weak = weak_from_this()] {
        if (auto model = weak.lock()) {
            model->setFlag(model->adapterArriving_, false);
        }
    });
}

void SorvantaModel::updateTestActivity(bool busy) {
    if (busy == activityHeld_) {
        return;
    }
    if (deps_.activity) {
        if (busy) {
            deps_.activity->begin(activityReason);
        } else {
            deps_.activity->end();
        }
    }
    activityHeld_ = busy;
    notify();
}

std::vector<std::string> SorvantaModel::interfaceKeys(const ServiceSnapshot& snapshot) {
    std::vector<std::string> keys;
    for (const auto& interface : snapshot.detectedInterfaces) {
        const auto& link = interface.linkActive;
        keys.push_back(interface.identity.name + "/" + std::to_string(interface.identity.index) +
                       "/" +
                       (!link   ? "-"
                        : *link ? "true"
                                : "false"));
    }
    return keys;
}

void SorvantaModel::apply(const ServiceSnapshot& published) {
    const auto& old = rawSnapshot_;
    // Handed-over snapshots may arrive out of order; an older one is stale.
    if (published.revision < old.revision) {
        return;
    }
    if (interfaceKeys(published) != interfaceKeys(old) ||
        (readyOrProbing(old.state) && !readyOrProbing(published.state))) {
        beginSettling();
    }
    if (old.state != ConnectionState::idle) {
        std::set<std::pair<std::string, int>> before;
        for (const auto& i : old.detectedInterfaces) {
            before.emplace(i.identity.name, i.identity.index);
        }
        const bool arrived =
            std::any_of(published.detectedInterfaces.begin(), published.detectedInterfaces.end(),
                        [&](const auto& i) {
                            return !before.contains({i.identity.name, i.identity.index});
                        });
        if (arrived) {
            beginAdapterArrival();
        }
    }
    display_ = displayHistory_.update(published, now());
    updateTestActivity(published.speed.busy);
    rawSnapshot_ = published;
    if (!published.speed.busy) {
        refresh();
    }
    snapshot_ = visibility_.observe(published, now());
    notify();
    if (deps_.afterApply) {
        deps_.afterApply(*this);
    }
}

bool SorvantaModel::canStartTest() const {
    return snapshot_.state == ConnectionState::ready && !snapshot_.speed.busy &&
           snapshot_.directLink != false;
}

std::vector<std::string> SorvantaModel::lowPowerMacNames() const {
    std::vector<std::string> names;
    if (display_.localLowPower) {
        names.push_back(deps_.hostName.value_or("This Mac"));
    }
    if (display_.activePeerLowPower == true) {
        names.push_back(display_.activePeerName.value_or("The other Mac"));
    }
    return names;
}

LowPowerAlert::Content SorvantaModel::lowPowerAlertContent(const std::vector<std::string>& names) {
    const bool both = names.size() == 2;
    return {both ? "Both Macs are in Low Power Mode" : names.front() + " is in Low Power Mode",
            std::string("Low Power Mode can lower the measured speed, especially with both "
                        "directions running at once. For a full-speed test, plug ") +
                (both ? "both Macs" : "it") +
                " in or turn off Low Power Mode in System Settings \u203a Battery."};
}

void SorvantaModel::startTest() {
    const auto names = lowPowerMacNames();
    if (!names.empty() &&
        deps_.alert->ask(lowPowerAlertContent(names)) != LowPowerAlert::Choice::testAnyway) {
        return;
    }
    refresh();
    service_->startQuickTest(QuickProfile::quick);
}

bool SorvantaModel::canSearchAgain(const ServiceSnapshot& snapshot, bool started) {
    if (!started) {
        return true;
    }
    if (snapshot.speed.phase != SpeedSnapshot::Phase::checking && snapshot.speed.busy) {
        return false;
    }
    if (snapshot.permission == LocalNetworkState::unavailable) {
        return true;
    }
    return snapshot.state != ConnectionState::connecting &&
           snapshot.state != ConnectionState::probing;
}

void SorvantaModel::searchAgain() {
    if (!started_) {
        resume();
        return;
    }
    if (!canSearchAgain(snapshot_, started_)) {
        return;
    }
    beginSettling();
    service_->searchAgain();
}

std::optional<std::string> SorvantaModel::connectionDetailsText() {
    refresh();
    if (rawSnapshot_.speed.run && !visibility_.mayRevealCurrent) {
        return std::nullopt;
    }
    return ConnectionDetailsReport(snapshot_, deps_.build).copyText();
}

}  // namespace sorvanta
