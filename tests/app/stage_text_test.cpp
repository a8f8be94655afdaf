#include "app/stage_text.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

using Rates = WindowPresentation::Rates;
using Pass = WindowPresentation::Pass;
using Caption = WindowPresentation::Caption;
using State = WindowPresentation::PassState;
using Kind = WindowPresentation::PassKind;

const DisplayFormat& english() {
    static const DisplayFormat format("en_US", "UTC");
    return format;
}

WindowPresentation presentation(bool connected = true) {
    WindowPresentation p(ServiceSnapshot::initial(), std::nullopt, false, false, english());
    p.connected = connected;
    return p;
}

TEST(StageText, RateFigures) {
    struct Row {
        std::optional<double> rate;
        const char* number;
        const char* unit;
    };
    const Row rows[] = {
        {std::nullopt, "\u2014", "Mbps"}, {999'999'999, "1,000", "Mbps"}, {1e9, "1", "Gbps"},
        {9.414e9, "9.41", "Gbps"},        {941e6, "941", "Mbps"},
    };
    for (const Row& row : rows) {
        const RateFigure f = RateFigure::make(row.rate, true, false, english());
        EXPECT_EQ(f.number, row.number);
        EXPECT_EQ(f.unit, row.unit);
    }
    WindowPresentation p = presentation();
    p.rates = {Rates::Kind::both, 2e9, 5e8};
    p.inboundWarning = true;
    p.outboundWarning = false;
    EXPECT_TRUE(RateFigure::below(p, english())->warning);
    EXPECT_FALSE(RateFigure::above(p, english())->warning);
    p.rates = {Rates::Kind::inbound, std::nullopt, 5e8};
    p.inboundWarning = true;
    EXPECT_FALSE(RateFigure::above(p, english()));
    EXPECT_FALSE(RateFigure::below(p, english())->warning);
}

TEST(StageText, PortCaptions) {
    using K = PortCaption::Kind;
    EXPECT_EQ(PortCaption::local(1'000'000'000, true, true, english()).kind, K::noAdapter);
    EXPECT_EQ(PortCaption::local(std::nullopt, false, true, english()).text, "Starting\u2026");
    EXPECT_EQ(PortCaption::local(std::nullopt, false, false, english()).kind, K::none);
    const PortCaption local = PortCaption::local(2'500'000'000, false, false, english());
    EXPECT_EQ(local.text, "2.5 Gbps");
    EXPECT_EQ(local.help, "This Mac\u2019s Ethernet port supports up to 2.5 Gbps.");
    EXPECT_EQ(PortCaption::peer(100'000'000, english()).accessibleName,
              "The other Mac\u2019s Ethernet port supports up to 100 Mbps");
}

TEST(StageText, Tiles) {
    WindowPresentation p = presentation(false);
    p.blocked = true;
    p.peerName = "Mini";
    const TileContent away = TileContent::make(false, p, "Desk");
    EXPECT_EQ(away.symbol, TileContent::Symbol::questionMark);
    EXPECT_EQ(away.name, "Other Mac");
    EXPECT_EQ(away.caption, "Not found");
    EXPECT_EQ(away.opacity, 0.7);
    EXPECT_FALSE(away.lockBadge);
    const TileContent local = TileContent::make(true, p, "Desk");
    EXPECT_EQ(local.name, "Desk");
    EXPECT_TRUE(local.lockBadge);
    p.connected = true;
    EXPECT_EQ(TileContent::make(false, p, "Desk").name, "Mini");
    p.peerName.reset();
    EXPECT_EQ(TileContent::make(false, p, "Desk").caption, "Other Mac");
    EXPECT_EQ(localComputerName(""), "This Mac");
}

TEST(StageText, PassTiles) {
    const Palette light = Palette::forScheme(false);
    const Rgba quality = Rgba::bytes(1, 2, 3);
    struct Row {
        Pass pass;
        Rgba tint;
        std::vector<std::string> texts;
        std::vector<Rgba> colours;
    };
    const Row rows[] = {
        {{Kind::outbound, State::pending, 0, "", std::nullopt},
         light.secondary().withAlpha(0.55),
         {" "},
         {light.secondary()}},
        {{Kind::quality, State::running, 0.5, "", Caption{Caption::Kind::text, 0, 0, "Checking"}},
         quality,
         {"Checking"},
         {light.secondary()}},
        {{Kind::inbound, State::warning, 1, "", Caption{Caption::Kind::rate, 941e6, 0, ""}},
         light.orange(),
         {"941 Mbps"},
         {light.orange()}},
        {{Kind::duplex, State::good, 1, "", Caption{Caption::Kind::duplex, 2.35e9, 5e8, ""}},
         light.green(),
         {"2.35", " / ", "0.5"},
         {light.outbound(), light.secondary(), light.inbound()}},
        {{Kind::duplex, State::warning, 1, "", Caption{Caption::Kind::duplex, 9e8, 5e8, ""}},
         light.orange(),
         {"900", " / ", "500"},
         {light.orange(), light.secondary(), light.orange()}},
        {{Kind::duplex, State::failed, 1, "", std::nullopt},
         light.red(),
         {" "},
         {light.secondary()}},
    };
    for (const Row& row : rows) {
        const PassTileLook look = PassTileLook::make(row.pass, quality, light, english());
        EXPECT_EQ(look.tint, row.tint);
        ASSERT_EQ(look.caption.size(), row.texts.size());
        for (std::size_t i = 0; i < row.texts.size(); ++i) {
            EXPECT_EQ(look.caption[i].text, row.texts[i]);
            EXPECT_EQ(look.caption[i].color, row.colours[i]);
        }
    }
    using Lane = WindowPresentation::Lane;
    EXPECT_EQ(PassTileLook::qualityColor({}, light), light.outbound());
    EXPECT_EQ(
        PassTileLook::qualityColor({Lane{0, WindowPresentation::Flow::dots, std::nullopt}}, light),
        light.inbound());
}

TEST(StageText, SpokenSummary) {
    WindowPresentation p = presentation(false);
    p.centerText.reset();
    EXPECT_EQ(stageSummary(p, english()), "Not connected. ");
    p.connected = true;
    EXPECT_EQ(stageSummary(p, english()), "Connected over Ethernet to the other Mac.");
    p.peerName = "Mini";
    p.rates = {Rates::Kind::both, 2.5e9, std::nullopt};
    p.linkCaption = "1 Gbps link";
    EXPECT_EQ(stageSummary(p, english()),
              "Connected over Ethernet to Mini. Outbound 2.5 Gbps, inbound pending. 1 Gbps link.");
}

}  // namespace
}  // namespace sorvanta
