#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;
struct sd_bus;
struct sd_bus_slot;

namespace sorvanta {

// Follows logind's PrepareForSleep signal on the system bus and reports "will sleep" and
// "did wake" on the GUI thread. Without a system bus there are simply no reports.
class SleepWatch final : public QObject {
    Q_OBJECT
  public:
    SleepWatch(std::function<void()> willSleep, std::function<void()> didWake,
               QObject* parent = nullptr);
    ~SleepWatch() override;
    bool listening() const { return bus_ != nullptr; }
    // Called with logind's flag: true before sleeping, false after waking.
    void prepareForSleep(bool start);

  private:
    void process();

    std::function<void()> willSleep_;
    std::function<void()> didWake_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace sorvanta
