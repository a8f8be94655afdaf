#include "app/qt_runtime.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <cmath>

namespace sorvanta {

void QtModelExecutor::post(std::function<void()> work) {
    QMetaObject::invokeMethod(context_, std::move(work), Qt::QueuedConnection);
}

QtScheduler::QtScheduler(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

QtScheduler::~QtScheduler() {
    for (auto& [token, timer] : timers_)
        delete timer;
}

Scheduler::Token QtScheduler::schedule(double seconds, std::function<void()> action) {
    const Token token = next_++;
    auto* timer = new QTimer;
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, [this, token, action = std::move(action)] {
        auto it = timers_.find(token);
        if (it == timers_.end())
            return;
        it->second->deleteLater();
        timers_.erase(it);
        action();
    });
    timers_[token] = timer;
    const double ms = std::ceil(std::max(seconds, 0.0) * 1000);
    timer->start(static_cast<int>(std::min(ms, 2e9)));
    return token;
}

void QtScheduler::cancel(Token token) {
    auto it = timers_.find(token);
    if (it == timers_.end())
        return;
    it->second->stop();
    it->second->deleteLater();
    timers_.erase(it);
}

}  // namespace sorvanta
