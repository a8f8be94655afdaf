#include "app/signal_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace sorvanta {

namespace {

// The pipe from the handler to the loop. Made with the first watch and never closed: a handler
// already running on another thread when its watch goes may still write, and must reach this
// pipe, not whatever file has since been given the same number.
int pipeRead = -1;
int pipeWrite = -1;

// The write end for the handler while a watch exists; -1 otherwise.
std::atomic<int> signalPipe{-1};

extern "C" void noteSignal(int signal) {
    const int saved = errno;
    const int fd = signalPipe.load(std::memory_order_relaxed);
    if (fd >= 0) {
        // One byte per kind at most: the handler is gone once it has run (SA_RESETHAND).
        const auto byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

// Bytes a handler wrote for an earlier watch are not this one's signals.
void discardWaiting() {
    unsigned char bytes[64];
    while (::read(pipeRead, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

SignalWatch::SignalWatch(std::vector<int> numbers, Handler handler, QObject* parent)
    : QObject(parent), numbers_(std::move(numbers)), handler_(std::move(handler)) {
    if (signalPipe.load() >= 0) {
        throw std::logic_error("a signal watch already exists");
    }
    if (pipeRead < 0) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error("no pipe for the signal watch");
        }
        pipeRead = ends[0];
        pipeWrite = ends[1];
    }
    discardWaiting();
    signalPipe.store(pipeWrite);
    notifier_ = new QSocketNotifier(pipeRead, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
    for (int signal : numbers_) {
        struct sigaction action {};
        action.sa_handler = noteSignal;
        sigemptyset(&action.sa_mask);
        // The default comes back as the handler is entered, not when the loop reads the pipe:
        // a loop that hangs would otherwise swallow every further signal of the kind.
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        struct sigaction old {};
        ::sigaction(signal, &action, &old);
        previous_.push_back(old);
    }
}

SignalWatch::~SignalWatch() {
    for (std::size_t i = 0; i < numbers_.size(); ++i) {
        ::sigaction(numbers_[i], &previous_[i], nullptr);
    }
    signalPipe.store(-1);
}

void SignalWatch::drain() {
    unsigned char bytes[64];
    ssize_t count = 0;
    while ((count = ::read(pipeRead, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            const int signal = bytes[i];
            for (int watched : numbers_) {
                if (watched == signal && handler_) {
                    handler_(signal);
                }
            }
        }
    }
}

}  // namespace sorvanta
