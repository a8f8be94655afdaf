#include <gtest/gtest.h>
#include <unistd.h>

#include <QAccessible>
#include <QActionGroup>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QScrollArea>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>
#include <QToolTip>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/stage_geometry.h"
#include "lab/temp_folder.h"
#include "app_harness.h"

namespace sorvanta::testing {
namespace {

namespace fs = std::filesystem;

TEST(WindowContent, AutosavedReportIsTheReportTheWindowShows) {
    TempFolder temp;
    const fs::path folder = temp.path / "Sorvanta" / "Reports";
    Harness h(true, false, [&](SorvantaApplication::Options& options) {
        options.saveReports = {true, folder};
        options.build = {"2.3", "45"};
    });
    DetailsWindow& details = h.app->detailsWindow();
    details.show();
    const ServiceSnapshot s = finished();
    h.publish(s);
    const std::string saved = readFile(folder / (s.speed.run->text() + ".txt"));
    ASSERT_FALSE(saved.empty());
    EXPECT_NE(saved.find("2.3 (45)"), std::string::npos);
    EXPECT_EQ(saved.find("Unknown (Unknown)"), std::string::npos);
    EXPECT_EQ(QString::fromStdString(saved),
              QString::fromUtf8("Sorvanta \u2022 Connection Details\n\n") + details.reportText());
}

TEST(WindowContent, AdapterMenuStaysTheSameSizeOverALongSession) {
    Harness h;
    ServiceSnapshot one = ready();
    ServiceSnapshot two = ready();
    WiredInterface usb = two.detectedInterfaces[0];
    usb.identity = {"eth5", 5};
    usb.label = "USB LAN";
    two.detectedInterfaces.push_back(usb);
    two.interfaces = two.detectedInterfaces;
    QMenu& menu = *h.app->actions().adapterMenu;
    const auto groups = [&] { return menu.findChildren<QActionGroup*>().size(); };
    h.publish(one);
    h.publish(two);
    const auto objects = menu.findChildren<QObject*>().size();
    for (int i = 0; i < 100; ++i) {
        // Snapshots that change the rows, and snapshots that change nothing in them.
        h.publish(i % 2 == 0 ? one : two);
        h.publish(i % 2 == 0 ? one : two);
    }
    h.publish(two);
    EXPECT_EQ(groups(), 1u);
    EXPECT_EQ(menu.findChildren<QObject*>().size(), objects);
    ASSERT_EQ(menu.actions().size(), 2);
    EXPECT_EQ(menu.actions()[1]->text(), "USB LAN");
    // The rows still choose: the one not in use goes to the service.
    menu.actions()[1]->trigger();
    EXPECT_EQ(h.service->calls.back(), "select 5");
}

TEST(WindowContent, DetailsSelectionSurvivesNotificationsThatKeepTheReport) {
    Harness h;
    DetailsWindow& details = h.app->detailsWindow();
    details.show();
    h.publish(finished());
    auto* browser = details.findChild<QTextBrowser*>();
    ASSERT_NE(browser, nullptr);
    QTextCursor cursor(browser->document());
    cursor.setPosition(10);
    cursor.setPosition(40, QTextCursor::KeepAnchor);
    browser->setTextCursor(cursor);
    const QString selected = browser->textCursor().selectedText();
    ASSERT_EQ(selected.size(), 30);
    // The same report again, a refresh of the model, a settling period beginning.
    h.publish(finished());
    h.app->model().refresh();
    settle();
    h.app->model().beginSettling();
    settle();
    EXPECT_EQ(browser->textCursor().selectedText(), selected);
    // A new report is shown at once.
    const QString before = details.reportText();
    h.publish(measuring());
    EXPECT_NE(details.reportText(), before);
    EXPECT_FALSE(browser->textCursor().hasSelection());
}

TEST(WindowContent, OnlyTheStopButtonCarriesTheStopHint) {
    struct Step {
        const char* name;
        ServiceSnapshot snapshot;
        WindowPresentation::Action action;
        QString hint;
    };
    ServiceSnapshot refused = ServiceSnapshot::initial();
    refused.state = ConnectionState::searching;
    refused.permission = LocalNetworkState::unavailable;
    const QString stopHint = QStringLiteral("Stops the test on both Macs.");
    const Step steps[] = {
        {"test", ready(), WindowPresentation::Action::test, ""},
        {"stop", measuring(), WindowPresentation::Action::stop, stopHint},
        {"test again", finished(), WindowPresentation::Action::testAgain, ""},
        {"stop again", measuring(), WindowPresentation::Action::stop, stopHint},
        {"settings", refused, WindowPresentation::Action::openSettings, ""},
    };
    Harness h;
    MainWindow& main = h.app->mainWindow();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        h.publish(step.snapshot);
        ASSERT_EQ(main.action(), step.action);
        EXPECT_EQ(main.actionButton()->accessibleDescription(), step.hint);
    }
}

// What a tooltip request at `point` of the stage shows; empty when none.
QString stageTooltipAt(StageWidget& stage, QPointF point) {
    QToolTip::hideText();
    settle();
    QTest::qWait(400);  // a hidden tooltip fades before it is gone
    const QPoint at = point.toPoint();
    QHelpEvent help(QEvent::ToolTip, at, stage.mapToGlobal(at));
    QApplication::sendEvent(&stage, &help);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

TEST(WindowContent, SearchTooltipBelongsToTheOtherTileOnly) {
    const WindowMetrics m = WindowMetrics::preset();
    const QString hint = QStringLiteral("Search again for the other Mac");
    ServiceSnapshot searching = ServiceSnapshot::initial();
    searching.state = ConnectionState::searching;
    struct Row {
        const char* name;
        ServiceSnapshot snapshot;
        QPointF point;
        QString tooltip;
    };
    const RectF right = StageGeometry::rightTile(m);
    const Row rows[] = {
        {"this computer's tile", searching, {m.tileWidth / 2, m.tileHeight / 2}, ""},
        {"the band", searching, {m.width / 2, 0.47 * m.tileHeight}, ""},
        {"the other tile", searching, {right.x + right.width / 2, m.tileHeight / 2}, hint},
        {"the other tile's corner", searching, {right.x + 1, 1}, ""},
        {"the other tile, connected", ready(), {right.x + right.width / 2, m.tileHeight / 2}, ""},
    };
    Harness h;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        h.publish(row.snapshot);
        EXPECT_EQ(stageTooltipAt(*h.app->mainWindow().stage(), row.point), row.tooltip);
    }
    QToolTip::hideText();
}

bool near(const QColor& a, const QColor& b, int tolerance = 6) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

TEST(WindowContent, SearchRingIsDrawnWholeBeyondTheStageEdges) {
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        Harness h(false, dark);
        ServiceSnapshot searching = ServiceSnapshot::initial();
        searching.state = ConnectionState::searching;
        h.publish(searching);
        MainWindow& main = h.app->mainWindow();
        StageWidget& stage = *main.stage();
        stage.searchTapped();
        h.clock->advance(0.2);  // the ring at its widest, fully opaque
        stage.frame();
        settle();
        const QImage picture = main.centralWidget()->grab().toImage();
        const QPoint origin = stage.geometry().topLeft();
        const QColor edge = toQColor(Palette::forScheme(dark).edge());
        const WindowMetrics m = WindowMetrics::preset();
        // Points 3 px outside the stage, on the ring: right of it, above and below it.
        const QPoint outside[] = {
            origin + QPoint(static_cast<int>(m.width) + 2, static_cast<int>(m.tileHeight / 2)),
            origin + QPoint(static_cast<int>(m.width - m.tileWidth / 2), -3),
            origin + QPoint(static_cast<int>(m.width - m.tileWidth / 2),
                            static_cast<int>(m.tileHeight) + 2),
        };
        for (const QPoint& point : outside)
            EXPECT_TRUE(near(picture.pixelColor(point), edge, 10))
                << point.x() << "," << point.y() << " "
                << picture.pixelColor(point).name().toStdString();
        // Once it has faded, nothing is left outside.
        for (int i = 0; i < 3; ++i) {
            h.clock->advance(0.5);
            stage.frame();
        }
        settle();
        EXPECT_FALSE(stage.pulseRing() != nullptr && stage.pulseRing()->isVisible());
        const QImage after = main.centralWidget()->grab().toImage();
        for (const QPoint& point : outside)
            EXPECT_FALSE(near(after.pixelColor(point), edge, 3));
    }
}

// The elements assistive technology meets inside a widget, as (name, value) pairs; child
// widgets are left out.
std::vector<std::pair<QString, QString>> elements(QWidget& widget) {
    std::vector<std::pair<QString, QString>> found;
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&widget);
    if (iface == nullptr)
        return found;
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        if (child == nullptr || child->object() != nullptr)
            continue;
        EXPECT_EQ(iface->indexOfChild(child), i);
        EXPECT_EQ(child->parent(), iface);
        EXPECT_TRUE(widget.rect().contains(
            QRect(widget.mapFromGlobal(child->rect().topLeft()), child->rect().size())));
        found.emplace_back(child->text(QAccessible::Name), child->text(QAccessible::Value));
    }
    return found;
}

TEST(WindowContent, PassTilesAreOneAccessibleElementEach) {
    using State = WindowPresentation::PassState;
    const std::map<State, QString> words = {
        {State::pending, "Not run"},        {State::running, "In progress"},
        {State::good, "Completed"},         {State::warning, "Needs attention"},
        {State::limited, "Partly checked"}, {State::failed, "Interrupted"},
    };
    ServiceSnapshot stopped = finished();
    stopped.speed.phase = SpeedSnapshot::Phase::cancelled;
    std::set<State> seen;
    Harness h;
    for (const ServiceSnapshot& snapshot : {ready(), measuring(), finished(), stopped}) {
        h.publish(snapshot);
        SorvantaModel& model = h.app->model();
        const WindowPresentation p(model.display(), model.localID(), model.settling(),
                                   model.adapterArriving());
        const auto found = elements(*h.app->mainWindow().passRow());
        ASSERT_EQ(found.size(), 4u);
        ASSERT_EQ(found.size(), p.passes.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].first, QString::fromStdString(p.passes[i].detail));
            EXPECT_FALSE(found[i].first.isEmpty());
            EXPECT_EQ(found[i].second, words.at(p.passes[i].state)) << i;
            seen.insert(p.passes[i].state);
        }
    }
    // The walk met tiles not run, running and finished.
    EXPECT_GE(seen.size(), 3u);
}

TEST(WindowContent, EachPortCaptionIsLabelledForAssistiveTechnology) {
    ServiceSnapshot both = ready();
    both.detectedInterfaces[0].adapter = AdapterProfile{1'000'000'000, {}, {}, {}};
    both.interfaces = both.detectedInterfaces;
    both.activePeerAdapter = AdapterProfile{2'500'000'000, {}, {}, {}};
    ServiceSnapshot none = ServiceSnapshot::initial();
    none.state = ConnectionState::searching;
    ServiceSnapshot starting = none;
    starting.adapterAttaching = true;
    struct Row {
        const char* name;
        ServiceSnapshot snapshot;
        std::vector<QString> labels;
    };
    const Row rows[] = {
        {"both ports",
         both,
         {QString::fromUtf8("This Mac\u2019s Ethernet port supports up to 1 Gbps"),
          QString::fromUtf8("The other Mac\u2019s Ethernet port supports up to 2.5 Gbps")}},
        {"no adapter", none, {"This Mac has no Ethernet adapter connected"}},
        {"starting",
         starting,
         {QString::fromUtf8("This Mac\u2019s Ethernet adapter is starting up")}},
    };
    Harness h;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        h.publish(row.snapshot);
        const auto found = elements(*h.app->mainWindow().passRow()->portLabels());
        ASSERT_EQ(found.size(), row.labels.size());
        for (std::size_t i = 0; i < found.size(); ++i)
            EXPECT_EQ(found[i].first, row.labels[i]);
    }
}

// How strongly orange the left caption slot is drawn anywhere: 0 for greys, 255 for the
// no-adapter caption's full orange.
int orangeIn(PortLabelsWidget& ports) {
    const QImage image = ports.grab().toImage();
    int strongest = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < 138; ++x) {
            const QColor c = image.pixelColor(x, y);
            strongest = std::max(strongest, c.red() - c.blue());
        }
    return strongest;
}

TEST(WindowContent, PortCaptionsCrossFadeUnlessMotionIsReduced) {
    ServiceSnapshot port = ready();
    port.detectedInterfaces[0].adapter = AdapterProfile{1'000'000'000, {}, {}, {}};
    port.interfaces = port.detectedInterfaces;
    port.state = ConnectionState::searching;
    ServiceSnapshot none = ServiceSnapshot::initial();
    none.state = ConnectionState::searching;
    for (bool reduced : {false, true}) {
        SCOPED_TRACE(reduced ? "reduced" : "moving");
        Harness h(reduced);
        PortLabelsWidget& ports = *h.app->mainWindow().passRow()->portLabels();
        h.publish(port);
        h.clock->advance(1);
        EXPECT_LT(orangeIn(ports), 20);
        h.publish(none);
        ASSERT_EQ(ports.localCaption().kind, PortCaption::Kind::noAdapter);
        const int start = orangeIn(ports);
        EXPECT_EQ(ports.animating(), !reduced);
        h.clock->advance(0.15);
        const int half = orangeIn(ports);
        h.clock->advance(0.2);
        const int end = orangeIn(ports);
        EXPECT_GT(end, 200);
        if (reduced) {
            EXPECT_EQ(start, end);
            EXPECT_EQ(half, end);
        } else {
            // Not there at first, half there halfway, whole after 0.3 s.
            EXPECT_LT(start, 20);
            EXPECT_GT(half, end / 4);
            EXPECT_LT(half, end * 3 / 4);
        }
    }
}

TEST(WindowContent, StartingCaptionTurnsItsIndicator) {
    ServiceSnapshot starting = ServiceSnapshot::initial();
    starting.state = ConnectionState::searching;
    starting.adapterAttaching = true;
    for (bool reduced : {false, true}) {
        SCOPED_TRACE(reduced ? "reduced" : "moving");
        Harness h(reduced);
        h.publish(starting);
        PortLabelsWidget& ports = *h.app->mainWindow().passRow()->portLabels();
        ASSERT_EQ(ports.localCaption().kind, PortCaption::Kind::starting);
        h.clock->advance(1);
        const QImage first = ports.grab().toImage();
        h.clock->advance(0.25);
        const QImage later = ports.grab().toImage();
        EXPECT_EQ(first != later, !reduced);
        EXPECT_EQ(ports.animating(), !reduced);
        // Hidden, it stops turning.
        h.app->mainWindow().passRow()->setWindowVisible(false);
        EXPECT_FALSE(ports.animating());
    }
}

TEST(WindowContent, HelpTitleAndDetailsCaptionSizes) {
    Harness h;
    QLabel* title = nullptr;
    for (QLabel* label : h.app->helpWindow().findChildren<QLabel*>())
        if (label->text() == "Testing a cable")
            title = label;
    ASSERT_NE(title, nullptr);
    QLabel* caption = nullptr;
    for (QLabel* label : h.app->detailsWindow().findChildren<QLabel*>())
        if (label->text() == "Select a passage, or copy the full report.")
            caption = label;
    ASSERT_NE(caption, nullptr);
    struct Row {
        const char* name;
        QLabel* label;
        int pixels;
        bool bold;
    };
    const Row rows[] = {
        {"help title", title, 17, true},
        {"details caption", caption, 10, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.label->font().pixelSize(), row.pixels);
        EXPECT_EQ(row.label->font().bold(), row.bold);
    }
}

}  // namespace
}  // namespace sorvanta::testing
