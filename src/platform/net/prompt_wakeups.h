#pragma once

namespace sorvanta {

// How the calling thread is scheduled when it wakes.
enum class WakeupPriority {
    // As every other thread: on a busy CPU a waking thread may wait for a running one's slice.
    ordinary,
    // The fair scheduler's shortest slice: it preempts most running ordinary threads at once.
    shortSlice,
    // A real-time policy (first in, first out, lowest priority): it preempts every ordinary
    // thread at once.
    realTime,
};

// Asks that the calling thread run as soon as it wakes (prompt), or as an ordinary thread
// again. Prompt is the real-time policy where the process may have it, otherwise the shortest
// slice, otherwise nothing; it is meant for a thread that sleeps most of the time and does
// short work when it wakes, never for one that waits actively. Threads started from a prompt
// thread start ordinary. Never fails: returns what the thread now has.
WakeupPriority setPromptWakeups(bool prompt);

// What the calling thread has now.
WakeupPriority currentWakeupPriority();

const char* toString(WakeupPriority priority);

}  // namespace sorvanta
