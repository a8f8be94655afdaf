#pragma once

#include <pthread.h>

namespace sorvanta {

// A mutex whose holder, while a thread of higher priority waits for it, runs with that
// priority until it lets go. For a lock that a prompt thread (a real-time one) shares with
// ordinary ones: without it, an ordinary holder that another thread pushes off its CPU keeps
// the prompt one waiting for as long. Costs no more than an ordinary mutex while uncontended.
// Meets the standard Lockable requirements, so std::lock_guard takes it.
class PriorityInheritanceMutex {
  public:
    PriorityInheritanceMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        // Refused only where the system has no such mutex; an ordinary one is then made.
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~PriorityInheritanceMutex() { pthread_mutex_destroy(&mutex_); }
    PriorityInheritanceMutex(const PriorityInheritanceMutex&) = delete;
    PriorityInheritanceMutex& operator=(const PriorityInheritanceMutex&) = delete;

    void lock() { pthread_mutex_lock(&mutex_); }
    bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
    void unlock() { pthread_mutex_unlock(&mutex_); }

  private:
    pthread_mutex_t mutex_;
};

}  // namespace sorvanta
