#pragma once

namespace sorvanta {

class RealtimeBroker;
class ThreadScheduling;

// How the calling thread is scheduled when it wakes.
enum class WakeupPriority {
    // As every other thread: on a busy CPU a waking thread may wait for a running one's slice.
    ordinary,
    // The fair scheduler's shortest slice: it preempts most running ordinary threads at once.
    shortSlice,
    // A real-time policy (lowest priority): it preempts every ordinary thread at once.
    realTime,
};

// Asks that the calling thread run as soon as it wakes (prompt), or as an ordinary thread
// again. Prompt is the first of these the thread may have, each refusal falling through
// quietly to the next:
//   1. the real-time policy (first in, first out, lowest priority), set by the thread itself
//      where the process may;
//   2. the real-time policy from the broker (RealtimeKit on a desktop), after limiting how
//      long a real-time thread of this process may run without blocking to what the broker
//      asks for: a thread that overruns it is killed with its process, so this is only for a
//      thread that blocks often;
//   3. the fair scheduler's shortest slice, which needs no privilege; kernels before 6.12
//      ignore it;
//   4. nothing.
// It is meant for a thread that sleeps most of the time and does short work when it wakes,
// never for one that waits actively. Threads started from a prompt thread start ordinary.
// Going back to ordinary keeps the thread's niceness. Never fails: returns what the thread
// now has.
class PromptWakeups {
  public:
    // `broker` may be null: there is none to ask.
    PromptWakeups(ThreadScheduling& scheduling, RealtimeBroker* broker)
        : scheduling_(scheduling), broker_(broker) {}

    WakeupPriority set(bool prompt);
    // What the calling thread has now.
    WakeupPriority current();

  private:
    bool askBroker();

    ThreadScheduling& scheduling_;
    RealtimeBroker* broker_;
};

// PromptWakeups of the calling thread through the kernel, with RealtimeKit on the system bus
// as the broker.
WakeupPriority setPromptWakeups(bool prompt);

// What the calling thread has now.
WakeupPriority currentWakeupPriority();

const char* toString(WakeupPriority priority);

}  // namespace sorvanta
