#include <gtest/gtest.h>

#include <QAccessible>
#include <QClipboard>
#include <QDir>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QTest>

#include "app/stage_geometry.h"
#include "app_harness.h"

namespace sorvanta::testing {
namespace {

using Action = WindowPresentation::Action;

TEST(Windows, MainAndHelpWindowsTakeTheirContentsSize) {
    Harness h;
    MainWindow& main = h.app->mainWindow();
    EXPECT_EQ(main.passRow()->width(), 720);
    EXPECT_EQ(main.stage()->size(), QSize(720, 152));
    EXPECT_EQ(main.centralWidget()->width(), 720 + 2 * 28);
    EXPECT_EQ(main.minimumSize(), main.maximumSize());
    const int column =
        26 + main.passRow()->height() + 26 + 152 + 26 + main.statusLine()->height() + 12 + 40 + 28;
    EXPECT_EQ(main.centralWidget()->height(), column);
    HelpWindow& help = h.app->helpWindow();
    help.show();
    settle();
    EXPECT_EQ(help.centralWidget()->size(), QSize(520, 560));
    EXPECT_EQ(help.minimumSize(), help.maximumSize());
    // The details window starts at 640 × 600 and can shrink only to its content's minimum.
    DetailsWindow& details = h.app->detailsWindow();
    EXPECT_EQ(details.size(), QSize(640, 600));
    EXPECT_GE(details.centralWidget()->minimumWidth(), 520);
    // The main window starts the service when shown and suspends it when closed.
    EXPECT_EQ(h.service->calls, std::vector<std::string>{"start"});
    main.close();
    settle();
    EXPECT_EQ(h.service->calls.back(), "stop");
}

TEST(Windows, MenuItemsFollowTheModel) {
    struct Row {
        const char* name;
        ServiceSnapshot snapshot;
        bool test, stop, search, copy;
    };
    ServiceSnapshot indirect = ready();
    indirect.directLink = false;
    ServiceSnapshot connecting = ready();
    connecting.state = ConnectionState::connecting;
    const Row rows[] = {
        {"searching", ServiceSnapshot::initial(), false, false, true, false},
        {"ready", ready(), true, false, true, false},
        {"not direct", indirect, false, false, true, false},
        {"connecting", connecting, false, false, false, false},
        {"measuring", measuring(), false, true, false, true},
        {"finished", finished(), true, false, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        h.publish(row.snapshot);
        AppActions& a = h.app->actions();
        EXPECT_EQ(a.test->isEnabled(), row.test);
        EXPECT_EQ(a.stopTest->isEnabled(), row.stop);
        EXPECT_EQ(a.searchAgain->isEnabled(), row.search);
        EXPECT_EQ(a.copy->isEnabled(), row.copy);
        EXPECT_TRUE(a.details->isEnabled());
        EXPECT_TRUE(a.help->isEnabled());
        // Every window carries the same menu bar.
        for (QMainWindow* w : {static_cast<QMainWindow*>(&h.app->mainWindow()),
                               static_cast<QMainWindow*>(&h.app->helpWindow())})
            EXPECT_EQ(w->menuBar()->actions().size(), 4);
    }
}

TEST(Windows, ReturnAndEscapeOnTheActionButton) {
    struct Row {
        const char* name;
        ServiceSnapshot snapshot;
        Action action;
        Qt::Key key;
        std::string call;  // empty: nothing reaches the service
    };
    ServiceSnapshot probing = ready();
    probing.state = ConnectionState::probing;
    const Row rows[] = {
        {"test", ready(), Action::test, Qt::Key_Return, "startQuickTest"},
        {"test again", finished(), Action::testAgain, Qt::Key_Return, "startQuickTest"},
        {"disabled", probing, Action::test, Qt::Key_Return, ""},
        {"escape does not start", ready(), Action::test, Qt::Key_Escape, ""},
        {"stop", measuring(), Action::stop, Qt::Key_Escape, "stopQuickTest"},
        {"return does not stop", measuring(), Action::stop, Qt::Key_Return, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        h.publish(row.snapshot);
        MainWindow& main = h.app->mainWindow();
        ASSERT_EQ(main.action(), row.action);
        const std::size_t before = h.service->calls.size();
        QTest::keyClick(&main, row.key);
        settle();
        const std::vector<std::string> after(h.service->calls.begin() + before,
                                             h.service->calls.end());
        EXPECT_EQ(after, row.call.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{row.call});
    }
}

TEST(Windows, LowPowerQuestionAndItsTwoAnswers) {
    for (auto answer : {LowPowerAlert::Choice::testAnyway, LowPowerAlert::Choice::cancel}) {
        Harness h;
        ServiceSnapshot s = ready();
        s.activePeerLowPower = true;
        h.publish(s);
        h.alert->answer = answer;
        h.app->actions().test->trigger();
        settle();
        ASSERT_EQ(h.alert->asked.size(), 1u);
        EXPECT_EQ(h.alert->asked[0].message, "Mini is in Low Power Mode");
        const bool sent = h.service->calls.back() == "startQuickTest";
        EXPECT_EQ(sent, answer == LowPowerAlert::Choice::testAnyway);
    }
    // The message box itself: the default button tests, Cancel does not.
    for (bool accept : {true, false}) {
        qtApp();
        QtLowPowerAlert box;
        QTimer::singleShot(0, [accept] {
            auto* modal = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(modal, nullptr);
            if (accept) {
                QTest::keyClick(modal, Qt::Key_Return);
            } else {
                modal->button(QMessageBox::Cancel)->click();
            }
        });
        EXPECT_EQ(box.ask({"Both Macs are in Low Power Mode", "…"}),
                  accept ? LowPowerAlert::Choice::testAnyway : LowPowerAlert::Choice::cancel);
    }
}

TEST(Windows, CopyAllAndCopyReportReachTheClipboard) {
    Harness h;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText("before");
    // The idle service's report may be copied; a run just seen may not be shown yet.
    DetailsWindow& details = h.app->detailsWindow();
    details.show();
    settle();
    details.copyReport();
    EXPECT_TRUE(
        clipboard->text().startsWith(QString::fromUtf8("Sorvanta \u2022 Connection Details\n\n")));
    EXPECT_EQ(details.headerText(), "Copied to clipboard.");
    // The same outcome again does not restart the three seconds.
    const int first = details.feedbackRemaining();
    QTest::qWait(30);
    details.copyReport();
    EXPECT_GT(first, 0);
    EXPECT_LT(details.feedbackRemaining(), first);
    h.publish(finished());
    clipboard->setText("before");
    h.app->actions().copy->trigger();
    settle();
    const QString report = clipboard->text();
    EXPECT_TRUE(report.startsWith(QString::fromUtf8("Sorvanta \u2022 Connection Details\n\n")));
    EXPECT_TRUE(details.reportText().contains("Mini"));
    EXPECT_EQ(report.mid(31), details.reportText());
}

QColor pixel(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(x), static_cast<int>(y));
}

bool near(const QColor& a, const QColor& b, int tolerance = 6) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// A pixel of a lane's colour: strongly blue or strongly pink.
bool laneColoured(const QColor& c) {
    return (c.blue() > 200 && c.red() < 120) || (c.red() > 170 && c.green() < 120);
}

TEST(Windows, StagePixels) {
    Harness h;
    const WindowMetrics m = WindowMetrics::preset();
    const Palette palette;
    StageWidget& stage = *h.app->mainWindow().stage();
    const double bandY = 0.47 * m.tileHeight;
    ServiceSnapshot searching = ServiceSnapshot::initial();
    searching.state = ConnectionState::searching;
    h.publish(searching);
    QImage idle = stage.grab().toImage();
    EXPECT_TRUE(near(pixel(idle, 360, bandY - 15), toQColor(palette.windowBackground())));
    // The guidance stands in the middle of the stage at once when motion is reduced.
    const RectF centre = StageGeometry::centreContent(m);
    int text = 0;
    for (int y = static_cast<int>(centre.minY()); y < centre.maxY(); ++y)
        for (int x = static_cast<int>(centre.minX()); x < centre.maxX(); ++x)
            text += idle.pixelColor(x, y).lightness() < 160;
    EXPECT_GT(text, 20);
    h.publish(measuring());
    QImage running = stage.grab().toImage();
    EXPECT_TRUE(near(pixel(running, 360, bandY - 15), toQColor(palette.surface())));
    const RectF lanes = StageGeometry::laneArea(m);
    int inside = 0, outside = 0;
    for (int y = static_cast<int>(lanes.minY()); y < lanes.maxY(); ++y) {
        for (int x = 0; x < running.width(); ++x) {
            if (!laneColoured(running.pixelColor(x, y)))
                continue;
            (x >= lanes.minX() && x < lanes.maxX() ? inside : outside)++;
        }
    }
    EXPECT_GT(inside, 50);
    EXPECT_EQ(outside, 0);
    // No adapter: the orange caption stands over this computer's tile only.
    h.publish(searching);
    PortLabelsWidget& ports = *h.app->mainWindow().passRow()->portLabels();
    ASSERT_EQ(ports.localCaption().kind, PortCaption::Kind::noAdapter);
    const QImage captions = ports.grab().toImage();
    int left = 0, right = 0;
    for (int y = 0; y < captions.height(); ++y)
        for (int x = 0; x < captions.width(); ++x)
            if (near(captions.pixelColor(x, y), toQColor(palette.orange()), 30))
                (x < m.tileWidth ? left : right)++;
    EXPECT_GT(left, 10);
    EXPECT_EQ(right, 0);
}

TEST(Windows, LanesRunFromTheTimerAndPauseWhenHidden) {
    Harness h(false);
    h.publish(measuring());
    StageWidget& stage = *h.app->mainWindow().stage();
    EXPECT_TRUE(stage.animating());
    h.clock->advance(0.05);
    stage.frame();
    ASSERT_EQ(stage.laneOffsets().size(), 1u);
    const double moved = stage.laneOffsets()[0];
    EXPECT_GT(moved, 0);
    h.app->mainWindow().showMinimized();
    stage.setWindowVisible(false);
    EXPECT_FALSE(stage.animating());
    h.clock->advance(1);
    stage.frame();
    EXPECT_EQ(stage.laneOffsets()[0], moved);
}

TEST(Windows, SearchFromTheOtherTileNudgesAndPulsesOnce) {
    Harness h(false);
    ServiceSnapshot none = ServiceSnapshot::initial();
    none.state = ConnectionState::searching;
    h.publish(none);
    MainWindow& main = h.app->mainWindow();
    StageWidget& stage = *main.stage();
    const auto searches = [&] {
        return std::count(h.service->calls.begin(), h.service->calls.end(), "searchAgain");
    };
    stage.searchTapped();
    stage.searchTapped();  // during the pulse: ignored
    settle();
    EXPECT_EQ(searches(), 1);
    EXPECT_EQ(main.portNudge(), 1);
    h.clock->advance(0.4);
    stage.frame();
    EXPECT_GT(main.passRow()->portLabels()->pulseScale(), 1.25);
    EXPECT_FALSE(stage.searchPulse());
    // Assistive technology offers the same search as an action.
    QAccessibleActionInterface* access =
        QAccessible::queryAccessibleInterface(&stage)->actionInterface();
    ASSERT_NE(access, nullptr);
    access->doAction(QStringLiteral("Search Again for the Other Mac"));
    settle();
    EXPECT_EQ(searches(), 2);
    // Connected: the tile no longer searches.
    h.publish(ready());
    stage.searchTapped();
    settle();
    EXPECT_EQ(searches(), 2);
    EXPECT_TRUE(access->actionNames().isEmpty());
}

// Pictures of the main window idle, during a run and with a result, and of the details
// window, kept in the build tree for a person to look at.
TEST(Windows, Screenshots) {
    Harness h;
    QDir().mkpath("screenshots");
    MainWindow& main = h.app->mainWindow();
    ServiceSnapshot idle = ServiceSnapshot::initial();
    idle.state = ConnectionState::searching;
    h.publish(idle);
    EXPECT_TRUE(main.grab().save("screenshots/main-idle.png"));
    h.publish(measuring());
    EXPECT_TRUE(main.grab().save("screenshots/main-running.png"));
    h.publish(finished());
    EXPECT_TRUE(main.grab().save("screenshots/main-result.png"));
    h.app->detailsWindow().show();
    settle();
    EXPECT_TRUE(h.app->detailsWindow().grab().save("screenshots/details.png"));
    h.app->helpWindow().show();
    settle();
    EXPECT_TRUE(h.app->helpWindow().grab().save("screenshots/help.png"));
    Harness dark(true, true);
    dark.publish(finished());
    EXPECT_TRUE(dark.app->mainWindow().grab().save("screenshots/main-result-dark.png"));
}

}  // namespace
}  // namespace sorvanta::testing
