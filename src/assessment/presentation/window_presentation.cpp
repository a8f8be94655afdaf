#include "assessment/presentation/window_presentation.h"

#include <algorithm>

#include "assessment/presentation/run_presentation.h"
#include "protocol/quick_profile.h"

namespace sorvanta {
namespace {

using Phase = SpeedSnapshot::Phase;
using Side = RunPresentation::SenderSide;

const WiredInterface* chosenInterface(const ServiceSnapshot& s) {
    const auto& detected = s.detectedInterfaces;
    if (s.selectedIndex) {
        const auto it = std::find_if(detected.begin(), detected.end(), [&](const auto& i) {
            return i.identity.index == *s.selectedIndex;
        });
        if (it != detected.end()) {
            return &*it;
        }
    }
    return detected.size() == 1 ? &detected.front() : nullptr;
}

bool localIsForwardSender(const SpeedSnapshot& speed, const std::optional<Uuid>& localID) {
    std::optional<Uuid> sender;
    const auto forward = std::find_if(speed.stages.begin(), speed.stages.end(),
                                      [](const auto& s) { return s.index == 0; });
    if (forward != speed.stages.end() && !forward->directions.empty()) {
        sender = forward->directions.front().sender;
    } else if (speed.busy && speed.stage == 0 && !speed.directions.empty()) {
        sender = speed.directions.front().sender;
    } else {
        sender = speed.initiator;
    }
    return !sender || sender == localID;
}

// A run that ended in preparation with a recorded setup problem.
bool endedOnSetupIssue(const SpeedSnapshot& speed) {
    const auto& p = speed.preparation;
    return p.required && !p.bulkStarted && p.issue;
}

void presentRunning(WindowPresentation& w, const RunPresentation& run, const SpeedSnapshot& speed) {
    using Lane = WindowPresentation::Lane;
    using Rates = WindowPresentation::Rates;
    using Flow = WindowPresentation::Flow;
    w.action = WindowPresentation::Action::stop;
    if (!speed.run || !run.runMatchesContext() ||
        (speed.phase != Phase::measuring && speed.phase != Phase::quality)) {
        if (speed.phase == Phase::cancelled || speed.phase == Phase::failed) {
            w.line = "Stopping\u2026";
            w.action = WindowPresentation::Action::none;
        } else {
            w.line = "Starting\u2026";
        }
        return;
    }
    if (speed.phase == Phase::quality) {
        const auto side = run.qualitySenderSide();
        if (run.qualityStage() != QuickStage::duplex && side != Side::unavailable) {
            w.lanes = {Lane{side == Side::local ? 1 : -1, Flow::dots, std::nullopt}};
        }
        return;
    }
    std::vector<RunPresentation::Receiver> receivers;
    for (auto& r : run.receivers()) {
        if (r.senderSide != Side::unavailable) {
            receivers.push_back(std::move(r));
        }
    }
    const auto stages = profileStages(speed.profile);
    const bool duplex = speed.stage >= 0 && static_cast<std::size_t>(speed.stage) < stages.size() &&
                        stages[static_cast<std::size_t>(speed.stage)] == QuickStage::duplex;
    if (duplex) {
        auto rateOf = [&](Side side) -> std::optional<double> {
            const auto it = std::find_if(receivers.begin(), receivers.end(),
                                         [&](const auto& r) { return r.senderSide == side; });
            return it == receivers.end() ? std::nullopt : it->rate;
        };
        const auto out = rateOf(Side::local);
        const auto in = rateOf(Side::remote);
        w.lanes = {Lane{1, Flow::chevrons, out}, Lane{-1, Flow::chevrons, in}};
        w.rates = {Rates::Kind::both, out, in};
    } else if (!receivers.empty()) {
        const auto& first = receivers.front();
        const bool local = first.senderSide == Side::local;
        w.lanes = {Lane{local ? 1 : -1, Flow::chevrons, first.rate}};
        w.rates = local ? Rates{Rates::Kind::outbound, first.rate, std::nullopt}
                        : Rates{Rates::Kind::inbound, std::nullopt, first.rate};
    }
}

void presentFinished(WindowPresentation& w, const RunPresentation& run, const ServiceSnapshot& s,
                     const std::optional<Uuid>& localID, const DisplayFormat& format) {
    const auto& speed = s.speed;
    if (s.selectedIndex) {
        const auto it =
            std::find_if(s.detectedInterfaces.begin(), s.detectedInterfaces.end(),
                         [&](const auto& i) { return i.identity.index == *s.selectedIndex; });
        if (it != s.detectedInterfaces.end() && it->linkSpeed) {
            w.linkCaption =
                WindowPresentation::rateText(static_cast<double>(*it->linkSpeed), format) + " link";
        }
    }
    w.action = WindowPresentation::Action::test;
    if (!speed.run || !run.runMatchesContext()) {
        return;
    }
    w.action = WindowPresentation::Action::testAgain;
    const auto& prep = speed.preparation;
    switch (speed.phase) {
        case Phase::complete: {
            const auto out = WindowPresentation::directionRate(speed, true, localID);
            const auto in = WindowPresentation::directionRate(speed, false, localID);
            w.rates = {WindowPresentation::Rates::Kind::both, out, in};
            auto warned = [&](WindowPresentation::PassKind kind) {
                const auto it = std::find_if(w.passes.begin(), w.passes.end(),
                                             [&](const auto& p) { return p.kind == kind; });
                return it != w.passes.end() && it->state == WindowPresentation::PassState::warning;
            };
            w.outboundWarning = warned(WindowPresentation::PassKind::outbound);
            w.inboundWarning = warned(WindowPresentation::PassKind::inbound);
            w.line = WindowPresentation::resultLine(speed, localID, out, in, format);
            break;
        }
        case Phase::cancelled:
            if (endedOnSetupIssue(speed)) {
                w.line = WindowPresentation::connectionErrorText(*prep.issue, prep.peerName,
                                                                 prep.remoteIssue);
            } else {
                w.line =
                    speed.endedRemotely ? "Stopped on " + prep.peerName + "." : "Test stopped.";
            }
            break;
        case Phase::failed:
            w.line = endedOnSetupIssue(speed) ? WindowPresentation::connectionErrorText(
                                                    *prep.issue, prep.peerName, prep.remoteIssue)
                                              : WindowPresentation::failureLine(speed);
            break;
        default:
            break;
    }
}

}  // namespace

WindowPresentation::WindowPresentation(const ServiceSnapshot& s, const std::optional<Uuid>& localID,
                                       bool settling, bool adapterArriving,
                                       const DisplayFormat& format) {
    const auto& speed = s.speed;
    blocked = s.permission == LocalNetworkState::unavailable;
    connected =
        speed.busy || ((s.state == ConnectionState::ready || s.state == ConnectionState::probing) &&
                       s.directLink != false && !blocked);
    const auto* chosen = chosenInterface(s);
    if (chosen && chosen->adapter) {
        localPort = chosen->adapter->maximum;
    }
    noLocalPort =
        s.detectedInterfaces.empty() && s.state != ConnectionState::idle && !s.adapterAttaching;
    localPortStarting = s.detectedInterfaces.empty()
                            ? s.adapterAttaching
                            : adapterArriving && chosen && chosen->linkActive != true;
    passes = WindowPresentation::passRow(s, speed, localID, localIsForwardSender(speed, localID),
                                         format);
    const RunPresentation run{s, localID};
    if (connected) {
        peerName = s.activePeerName;
        peerModel = s.activePeerModel;
        if (s.activePeerAdapter) {
            peerPort = s.activePeerAdapter->maximum;
        }
        if (speed.busy) {
            presentRunning(*this, run, speed);
        } else {
            presentFinished(*this, run, s, localID, format);
        }
        return;
    }
    std::tie(centerText, working) = guidance(s, settling);
    action = blocked ? Action::openSettings : Action::none;
    if (speed.phase == Phase::complete) {
        for (auto& pass : passes) {
            pass = Pass{pass.kind, PassState::pending, 0, kindName(pass.kind), std::nullopt};
        }
    } else if (speed.phase == Phase::failed && speed.run &&
               !(speed.preparation.required && !speed.preparation.bulkStarted)) {
        line = speed.end == RunEndCause::tester ? failureLine(speed)
                                                : "Connection lost during the test.";
    }
}

std::pair<std::string, bool> WindowPresentation::guidance(const ServiceSnapshot& s, bool settling) {
    const std::string lookOrOpen =
        settling ? "Looking for the other Mac\u2026" : "Open Sorvanta on the other Mac";
    const bool ready = s.state == ConnectionState::ready || s.state == ConnectionState::probing;
    if (s.permission == LocalNetworkState::unavailable) {
        return {"Allow Sorvanta in Local Network settings", false};
    }
    if (ready && s.directLink == false) {
        return {"Connect the Macs directly \u2014 wall jacks are fine", false};
    }
    if (s.state == ConnectionState::idle) {
        return {"Looking for the other Mac\u2026", true};
    }
    if (s.detectedInterfaces.empty()) {
        return s.adapterAttaching
                   ? std::pair<std::string, bool>{"Waiting for the Ethernet adapter\u2026", true}
                   : std::pair<std::string, bool>{"Connect an Ethernet adapter", false};
    }
    const auto* chosen = chosenInterface(s);
    const bool linkDown =
        chosen ? chosen->linkActive == false
               : std::all_of(s.detectedInterfaces.begin(), s.detectedInterfaces.end(),
                             [](const auto& i) { return i.linkActive == false; });
    if (linkDown) {
        return {settling ? "Waiting for the Ethernet link\u2026" : "Connect an Ethernet cable",
                settling};
    }
    if (!s.selectedIndex && s.interfaces.size() >= 2) {
        return {"Choose your Ethernet adapter: Connection \u203a Ethernet Adapter", false};
    }
    if (s.state == ConnectionState::connecting) {
        return {"Connecting\u2026", true};
    }
    if (s.peers.empty()) {
        return {lookOrOpen, settling};
    }
    if (std::none_of(s.peers.begin(), s.peers.end(), [](const auto& p) { return p.compatible; })) {
        return {"Use the same Sorvanta version on both Macs", false};
    }
    if (s.peers.size() >= 2) {
        return {"More than one Mac found \u2014 connect just one", false};
    }
    return {lookOrOpen, settling};
}

std::string WindowPresentation::connectionErrorText(SetupIssue issue, const std::string& peer,
                                                    bool remote) {
    switch (issue) {
        case SetupIssue::policyDenied:
            return remote ? peer + " is blocking Sorvanta in Local Network settings."
                          : "This Mac is blocking Sorvanta in Local Network settings.";
        case SetupIssue::timeout:
            return peer + " didn\u2019t respond in time. Try again.";
        case SetupIssue::refused:
            return peer + " refused the test connection. Try again.";
        case SetupIssue::connection:
            return "Couldn\u2019t reach " + peer + " for the test. Check the cable.";
        case SetupIssue::consent:
            return peer +
                   " didn\u2019t accept the test \u2014 it may be busy, not directly cabled, or "
                   "seeing another Mac.";
        case SetupIssue::incompatible:
            return "Use the same Sorvanta version on both Macs.";
    }
    return {};
}

std::string WindowPresentation::rateText(double bitsPerSecond, const DisplayFormat& format) {
    return format.windowRateText(bitsPerSecond);
}

}  // namespace sorvanta
