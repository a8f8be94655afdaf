#include "app/stage_text.h"

#include <algorithm>

#include "assessment/presentation/run_presentation.h"

namespace sorvanta {

using Rates = WindowPresentation::Rates;

RateFigure RateFigure::make(std::optional<double> bps, bool outbound, bool warning,
                            const DisplayFormat& format) {
    const bool gigabits = bps && *bps >= 1e9;
    return {outbound, bps ? RunPresentation::mbpsText(*bps, gigabits, format) : "\u2014",
            gigabits ? "Gbps" : "Mbps", warning};
}

std::optional<RateFigure> RateFigure::above(const WindowPresentation& p,
                                            const DisplayFormat& format) {
    switch (p.rates.kind) {
        case Rates::Kind::outbound:
            return make(p.rates.outbound, true, false, format);
        case Rates::Kind::both:
            return make(p.rates.outbound, true, p.outboundWarning, format);
        default:
            return std::nullopt;
    }
}

std::optional<RateFigure> RateFigure::below(const WindowPresentation& p,
                                            const DisplayFormat& format) {
    switch (p.rates.kind) {
        case Rates::Kind::inbound:
            return make(p.rates.inbound, false, false, format);
        case Rates::Kind::both:
            return make(p.rates.inbound, false, p.inboundWarning, format);
        default:
            return std::nullopt;
    }
}

namespace {

PortCaption portCaption(std::optional<std::uint64_t> speed, const std::string& owner,
                        const DisplayFormat& format) {
    if (!speed)
        return {};
    const std::string rate = WindowPresentation::rateText(static_cast<double>(*speed), format);
    const std::string sentence = owner + " Ethernet port supports up to " + rate;
    return {PortCaption::Kind::port, rate, sentence + ".", sentence};
}

}  // namespace

PortCaption PortCaption::local(std::optional<std::uint64_t> speed, bool noLocal, bool starting,
                               const DisplayFormat& format) {
    if (noLocal)
        return {Kind::noAdapter, "No Ethernet", "This Mac has no Ethernet adapter connected.",
                "This Mac has no Ethernet adapter connected"};
    if (starting)
        return {Kind::starting, "Starting\u2026",
                "This Mac\u2019s Ethernet adapter is starting up.",
                "This Mac\u2019s Ethernet adapter is starting up"};
    return portCaption(speed, "This Mac\u2019s", format);
}

PortCaption PortCaption::peer(std::optional<std::uint64_t> speed, const DisplayFormat& format) {
    return portCaption(speed, "The other Mac\u2019s", format);
}

TileContent TileContent::make(bool isLocal, const WindowPresentation& p,
                              const std::string& thisName) {
    TileContent tile;
    tile.present = isLocal || p.connected;
    tile.symbol = tile.present ? Symbol::computer : Symbol::questionMark;
    if (isLocal) {
        tile.name = thisName;
        tile.caption = "This Mac";
        tile.lockBadge = p.blocked;
    } else {
        tile.name = tile.present && p.peerName ? *p.peerName : "Other Mac";
        tile.caption = tile.present ? "Other Mac" : "Not found";
    }
    tile.opacity = tile.present ? 1 : 0.7;
    return tile;
}

Rgba PassTileLook::qualityColor(const std::vector<WindowPresentation::Lane>& lanes,
                                const Palette& palette) {
    return !lanes.empty() && lanes.front().direction < 1 ? palette.inbound() : palette.outbound();
}

PassTileLook PassTileLook::make(const WindowPresentation::Pass& pass, const Rgba& qualityColor,
                                const Palette& palette, const DisplayFormat& format) {
    using Kind = WindowPresentation::PassKind;
    using State = WindowPresentation::PassState;
    PassTileLook look;
    static const char* const titles[] = {"Outbound", "Inbound", "Duplex", "Quality"};
    look.title = titles[static_cast<int>(pass.kind)];
    look.running = pass.state == State::running;
    switch (pass.state) {
        case State::pending:
            look.tint = palette.secondary().withAlpha(0.55);
            look.stateWord = "Not run";
            break;
        case State::running:
            look.tint = pass.kind == Kind::inbound   ? palette.inbound()
                        : pass.kind == Kind::quality ? qualityColor
                                                     : palette.outbound();
            look.stateWord = "In progress";
            break;
        case State::good:
            look.tint = palette.green();
            look.stateWord = "Completed";
            break;
        case State::warning:
            look.tint = palette.orange();
            look.stateWord = "Needs attention";
            break;
        case State::limited:
            look.tint = palette.secondary();
            look.stateWord = "Partly checked";
            break;
        case State::failed:
            look.tint = palette.red();
            look.stateWord = "Interrupted";
            break;
    }
    const bool warning = pass.state == State::warning;
    const Rgba style = warning ? palette.orange() : palette.secondary();
    if (!pass.caption) {
        look.caption = {{" ", style}};
    } else if (pass.caption->kind == WindowPresentation::Caption::Kind::rate) {
        look.caption = {{WindowPresentation::rateText(pass.caption->outbound, format), style}};
    } else if (pass.caption->kind == WindowPresentation::Caption::Kind::text) {
        look.caption = {{pass.caption->text, style}};
    } else {
        const double o = pass.caption->outbound, i = pass.caption->inbound;
        const bool gigabits = std::max(o, i) >= 1e9;
        look.caption = {
            {RunPresentation::mbpsText(o, gigabits, format), warning ? style : palette.outbound()},
            {" / ", palette.secondary()},
            {RunPresentation::mbpsText(i, gigabits, format), warning ? style : palette.inbound()}};
    }
    return look;
}

std::string stageSummary(const WindowPresentation& p, const DisplayFormat& format) {
    if (!p.connected)
        return "Not connected. " + p.centerText.value_or("");
    const auto rate = [&](const std::optional<double>& r) {
        return r ? WindowPresentation::rateText(*r, format) : std::string("pending");
    };
    std::string text = "Connected over Ethernet to " + p.peerName.value_or("the other Mac") + ".";
    switch (p.rates.kind) {
        case Rates::Kind::outbound:
            text += " Outbound " + rate(p.rates.outbound) + ".";
            break;
        case Rates::Kind::inbound:
            text += " Inbound " + rate(p.rates.inbound) + ".";
            break;
        case Rates::Kind::both:
            text +=
                " Outbound " + rate(p.rates.outbound) + ", inbound " + rate(p.rates.inbound) + ".";
            break;
        case Rates::Kind::none:
            break;
    }
    if (p.linkCaption)
        text += " " + *p.linkCaption + ".";
    return text;
}

std::string localComputerName(const std::optional<std::string>& hostName) {
    return hostName && !hostName->empty() ? *hostName : "This Mac";
}

}  // namespace sorvanta
