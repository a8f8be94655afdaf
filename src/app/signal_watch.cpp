#include "app/signal_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace sorvanta {

namespace {

// The pipe's write end for the handler; -1 while no watch exists.
std::atomic<int> signalPipe{-1};

extern "C" void noteSignal(int signal) {
    const int saved = errno;
    const int fd = signalPipe.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        // A full pipe drops the byte: enough of the same are already waiting to be read.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

SignalWatch::SignalWatch(std::vector<int> numbers, Handler handler, QObject* parent)
    : QObject(parent), numbers_(std::move(numbers)), handler_(std::move(handler)) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("no pipe for the signal watch");
    }
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    int expected = -1;
    if (!signalPipe.compare_exchange_strong(expected, writeEnd_)) {
        ::close(readEnd_);
        ::close(writeEnd_);
        throw std::logic_error("a signal watch already exists");
    }
    notifier_ = new QSocketNotifier(readEnd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
    for (int signal : numbers_) {
        struct sigaction action {};
        action.sa_handler = noteSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
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
    ::close(readEnd_);
    ::close(writeEnd_);
}

void SignalWatch::drain() {
    unsigned char bytes[64];
    ssize_t count = 0;
    while ((count = ::read(readEnd_, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            const int signal = bytes[i];
            for (std::size_t s = 0; s < numbers_.size(); ++s) {
                if (numbers_[s] != signal) {
                    continue;
                }
                // The next one of this kind is not waited for: the default ends the program.
                struct sigaction fallback {};
                fallback.sa_handler = SIG_DFL;
                sigemptyset(&fallback.sa_mask);
                ::sigaction(signal, &fallback, nullptr);
                if (handler_) {
                    handler_(signal);
                }
            }
        }
    }
}

}  // namespace sorvanta
