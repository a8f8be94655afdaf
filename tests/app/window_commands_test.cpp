#include <gtest/gtest.h>

#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include "app_harness.h"

namespace sorvanta::testing {
namespace {

QMainWindow* windowNamed(Harness& h, const std::string& name) {
    if (name == "main")
        return &h.app->mainWindow();
    if (name == "details")
        return &h.app->detailsWindow();
    return &h.app->helpWindow();
}

QAction* menuItem(QMainWindow& window, const QString& menu, const QString& item) {
    for (QAction* top : window.menuBar()->actions())
        if (top->text() == menu && top->menu() != nullptr)
            for (QAction* action : top->menu()->actions())
                if (action->text() == item)
                    return action;
    return nullptr;
}

// Makes `window` the active one, as a click on it would, so its shortcuts apply.
void activate(QWidget& window) {
    window.show();
    window.raise();
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

TEST(WindowCommands, EveryWindowOffersCloseQuitAndTheMainWindow) {
    struct Row {
        QString menu, item;
        QKeySequence key;
        bool alwaysEnabled = true;
    };
    const Row rows[] = {
        {"File", "Close Window", QKeySequence(Qt::CTRL | Qt::Key_W)},
        {"File", "Quit Sorvanta", QKeySequence(Qt::CTRL | Qt::Key_Q)},
        {"Window", "Main Window", QKeySequence(Qt::CTRL | Qt::Key_0)},
        // The commands that were there before keep their places.
        {"Connection", "Test", QKeySequence(Qt::CTRL | Qt::Key_Return), false},
        {"Help", "Sorvanta Help", QKeySequence(Qt::CTRL | Qt::Key_Question)},
    };
    Harness h;
    for (const std::string name : {"main", "details", "help"}) {
        QMainWindow& window = *windowNamed(h, name);
        for (const Row& row : rows) {
            SCOPED_TRACE(name + " " + row.item.toStdString());
            QAction* action = menuItem(window, row.menu, row.item);
            ASSERT_NE(action, nullptr);
            EXPECT_EQ(action->shortcut(), row.key);
            if (row.alwaysEnabled) {
                EXPECT_TRUE(action->isEnabled());
            }
        }
    }
}

TEST(WindowCommands, ClosedMainWindowComesBackFromTheOtherWindows) {
    for (const std::string other : {"details", "help"}) {
        SCOPED_TRACE(other);
        Harness h;
        MainWindow& main = h.app->mainWindow();
        QMainWindow& window = *windowNamed(h, other);
        activate(window);
        activate(main);
        // Ctrl+W closes the window it is pressed in, and only that one.
        QTest::keyClick(&main, Qt::Key_W, Qt::ControlModifier);
        settle();
        EXPECT_FALSE(main.isVisible());
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(h.service->calls.back(), "stop");
        // Ctrl+0 from the other window shows the main window and starts the service again.
        activate(window);
        QTest::keyClick(&window, Qt::Key_0, Qt::ControlModifier);
        settle();
        EXPECT_TRUE(main.isVisible());
        EXPECT_EQ(h.service->calls.back(), "start");
        activate(window);
        QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
        settle();
        EXPECT_FALSE(window.isVisible());
        EXPECT_TRUE(main.isVisible());
    }
}

TEST(WindowCommands, QuitFromAnyWindowStopsTheServiceThenEndsTheLoop) {
    for (const std::string from : {"main", "details"}) {
        SCOPED_TRACE(from);
        Harness h;
        h.publish(measuring());
        QMainWindow& window = *windowNamed(h, from);
        activate(h.app->detailsWindow());
        activate(window);
        QTimer::singleShot(0, &window, [&] {
            QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
            // A second request while quitting changes nothing.
            h.app->quit();
        });
        // Should the loop not end by itself, the test fails rather than hangs.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        watchdog.start(5000);
        // An automatic quit left behind by an earlier test's last window must not count.
        QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_EQ(std::count(h.service->calls.begin(), h.service->calls.end(), "stop"), 1);
        EXPECT_EQ(h.service->calls.back(), "stop");
        for (const std::string name : {"main", "details", "help"})
            EXPECT_FALSE(windowNamed(h, name)->isVisible()) << name;
    }
    // The last window's automatic quit can end the loop before the service's stop has
    // finished; the quit that follows the stop then finds no loop and leaves the thread marked
    // as quitting, so every later modal box would end at once. One more turn clears the mark.
    settle();
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QApplication::exec();
}

// A menu opened and closed with Escape leaves the menu bar highlighted and focused; the
// window's Return and Escape must still act at the first press.
TEST(WindowCommands, ReturnAndEscapeActAfterAMenuWasClosedWithEscape) {
    struct Row {
        const char* name;
        ServiceSnapshot snapshot;
        Qt::Key key;
        std::string call;
    };
    const Row rows[] = {
        {"escape stops", measuring(), Qt::Key_Escape, "stopQuickTest"},
        {"return tests", ready(), Qt::Key_Return, "startQuickTest"},
        {"return tests again", finished(), Qt::Key_Return, "startQuickTest"},
        {"escape leaves the menu bar alone when idle", ready(), Qt::Key_Escape, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        h.publish(row.snapshot);
        MainWindow& main = h.app->mainWindow();
        activate(main);
        QAction* connection = main.menuBar()->actions().at(1);
        ASSERT_EQ(connection->text(), "Connection");
        main.menuBar()->setActiveAction(connection);
        settle();
        QWidget* popup = QApplication::activePopupWidget();
        ASSERT_NE(popup, nullptr);
        QTest::keyClick(popup, Qt::Key_Escape);
        settle();
        ASSERT_EQ(QApplication::activePopupWidget(), nullptr);
        const std::size_t before = h.service->calls.size();
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus != nullptr ? focus : &main, row.key);
        settle();
        const std::vector<std::string> after(h.service->calls.begin() + before,
                                             h.service->calls.end());
        EXPECT_EQ(after, row.call.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{row.call});
    }
}

// Counts the key offers (ShortcutOverride) of one key that reach a widget.
class OfferCount final : public QObject {
  public:
    explicit OfferCount(int key) : key_(key) {}
    int offers = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ShortcutOverride &&
            static_cast<QKeyEvent*>(event)->key() == key_)
            ++offers;
        return false;
    }

  private:
    int key_;
};

// Return and Escape start and stop a test only in the main window, which keeps them from its
// own widgets; in the other windows the focused widget is offered the key first, as a text
// field or the menu bar would want it, and nothing starts or stops.
TEST(WindowCommands, ReturnAndEscapeActOnlyInTheMainWindow) {
    struct Row {
        std::string window;
        const char* what;
        ServiceSnapshot snapshot;
        Qt::Key key;
        int offers;
        std::string call;
    };
    const Row rows[] = {
        {"main", "escape stops", measuring(), Qt::Key_Escape, 0, "stopQuickTest"},
        {"main", "return tests", ready(), Qt::Key_Return, 0, "startQuickTest"},
        {"details", "escape", measuring(), Qt::Key_Escape, 1, ""},
        {"details", "return", ready(), Qt::Key_Return, 1, ""},
        {"details", "enter", ready(), Qt::Key_Enter, 1, ""},
        {"help", "escape", measuring(), Qt::Key_Escape, 1, ""},
        {"help", "return", ready(), Qt::Key_Return, 1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.window + " " + row.what);
        Harness h;
        h.publish(row.snapshot);
        QMainWindow& window = *windowNamed(h, row.window);
        activate(window);
        QWidget* focus = QApplication::focusWidget();
        QWidget* target = focus != nullptr ? focus : &window;
        ASSERT_EQ(target->window(), &window);
        OfferCount count(row.key);
        target->installEventFilter(&count);
        const std::size_t before = h.service->calls.size();
        QTest::keyClick(target, row.key);
        settle();
        target->removeEventFilter(&count);
        EXPECT_EQ(count.offers, row.offers);
        const std::vector<std::string> after(h.service->calls.begin() + before,
                                             h.service->calls.end());
        EXPECT_EQ(after, row.call.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{row.call});
    }
}

}  // namespace
}  // namespace sorvanta::testing
