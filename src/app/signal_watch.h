#pragma once

#include <QObject>
#include <csignal>
#include <functional>
#include <vector>

class QSocketNotifier;

namespace sorvanta {

// Turns termination signals (SIGTERM from a logout, a shutdown or kill; SIGINT from Ctrl-C)
// into a call on the Qt event loop, so the program ends the way Quit ends it (its Bonjour
// goodbyes sent, the other computer told at once) instead of vanishing mid-step. The handler
// only writes the signal's number to a pipe; the call runs when the loop reads it. The first
// of each signal puts its default back at once, so a second one ends a program that hangs
// while quitting, even one whose loop never reads the pipe. One watch at a time; the previous
// handlers return when it goes.
class SignalWatch final : public QObject {
  public:
    using Handler = std::function<void(int signal)>;

    SignalWatch(std::vector<int> numbers, Handler handler, QObject* parent = nullptr);
    ~SignalWatch() override;

    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

  private:
    void drain();

    std::vector<int> numbers_;
    std::vector<struct sigaction> previous_;
    Handler handler_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace sorvanta
