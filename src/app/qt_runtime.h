#pragma once

#include <QObject>
#include <functional>
#include <map>
#include <memory>

#include "model/model_executor.h"
#include "platform/net/scheduler.h"
#include "support/clock.h"

class QTimer;

namespace sorvanta {

// The window's event loop as the model's executor: posted work runs later on the thread that
// owns `context` (the GUI thread), in the order posted. Safe to post from any thread.
class QtModelExecutor final : public ModelExecutor {
  public:
    explicit QtModelExecutor(QObject* context) : context_(context) {}
    void post(std::function<void()> work) override;

  private:
    QObject* context_;
};

// One-shot timers on the GUI thread's event loop, measured on the given clock.
class QtScheduler final : public Scheduler {
  public:
    explicit QtScheduler(std::shared_ptr<Clock> clock);
    ~QtScheduler() override;
    Token schedule(double seconds, std::function<void()> action) override;
    void cancel(Token token) override;
    Clock& clock() override { return *clock_; }

  private:
    std::shared_ptr<Clock> clock_;
    Token next_ = 1;
    std::map<Token, QTimer*> timers_;
};

}  // namespace sorvanta
