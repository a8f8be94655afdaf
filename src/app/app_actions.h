#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QMainWindow;

namespace sorvanta {

class AdapterMenu;
class SorvantaModel;

// The menu commands, shared by every window: each window carries its own menu bar holding
// these same actions, so shortcuts and enabling are the same wherever the user is. Besides the
// "Connection" and "Help" menus, every window has what a desktop expects of an application's
// windows: "File" with "Close Window" (that window) and "Quit Sorvanta", and "Window" with
// "Main Window", which brings the main window back from any other.
class AppActions final : public QObject {
    Q_OBJECT
  public:
    struct Windows {
        std::function<void()> details;
        std::function<void()> help;
        std::function<void()> main;
        std::function<void()> quit;
    };
    AppActions(std::shared_ptr<SorvantaModel> model, Windows windows, QObject* parent = nullptr);
    ~AppActions() override;

    // Adds the "File", "Connection", "Window" and "Help" menus to the window's menu bar.
    void installMenuBar(QMainWindow& window);
    // Follows the model: enabling rules and the adapter list.
    void refresh();
    // Puts the report on the clipboard; false when it may not be shown or the clipboard did
    // not take it.
    static bool copyReport(SorvantaModel& model);

    QAction* test = nullptr;
    QAction* stopTest = nullptr;
    QAction* searchAgain = nullptr;
    QAction* details = nullptr;
    QAction* copy = nullptr;
    QAction* help = nullptr;
    QAction* quit = nullptr;
    QAction* mainWindow = nullptr;
    QMenu* adapterMenu = nullptr;

  private:
    std::shared_ptr<SorvantaModel> model_;
    std::unique_ptr<AdapterMenu> adapters_;
};

}  // namespace sorvanta
