#include "platform/net/repeated_payload_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace sorvanta {

namespace {

bool writeAll(int file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(file, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(wrote));
    }
    return true;
}

// Set once the calling thread holds SIGPIPE blocked for its sends from files.
thread_local bool preparedThread = false;

}  // namespace

std::optional<RepeatedPayloadFile> RepeatedPayloadFile::create(std::span<const std::uint8_t> bytes,
                                                               std::size_t copies) {
    if (bytes.empty() || copies == 0) {
        return std::nullopt;
    }
    const int file = ::memfd_create("payload", MFD_CLOEXEC);
    if (file < 0) {
        return std::nullopt;
    }
    // Every send reads the file: without this each one would also stamp its access time.
    ::fcntl(file, F_SETFL, ::fcntl(file, F_GETFL) | O_NOATIME);
    RepeatedPayloadFile result(file, bytes.size() * copies);
    for (std::size_t copy = 0; copy < copies; ++copy) {
        if (!writeAll(file, bytes)) {
            return std::nullopt;
        }
    }
    return result;
}

RepeatedPayloadFile& RepeatedPayloadFile::operator=(RepeatedPayloadFile&& other) noexcept {
    if (this != &other) {
        if (file_ >= 0) {
            ::close(file_);
        }
        file_ = std::exchange(other.file_, -1);
        size_ = other.size_;
    }
    return *this;
}

RepeatedPayloadFile::~RepeatedPayloadFile() {
    if (file_ >= 0) {
        ::close(file_);
    }
}

void RepeatedPayloadFile::prepareThread() {
    if (preparedThread) {
        return;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    preparedThread = ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool RepeatedPayloadFile::threadPrepared() {
    return preparedThread;
}

void RepeatedPayloadFile::discardPendingBrokenPipe() {
    sigset_t pending;
    sigemptyset(&pending);
    if (::sigpending(&pending) != 0 || sigismember(&pending, SIGPIPE) != 1) {
        return;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    const timespec now{0, 0};
    while (::sigtimedwait(&set, nullptr, &now) < 0 && errno == EINTR) {
    }
}

long RepeatedPayloadFile::sendTo(int socket, std::size_t offset, std::size_t length) const {
    if (offset > size_ || length > size_ - offset) {
        return -EINVAL;
    }
    if (!preparedThread) {
        return -EPERM;  // a write to a closed peer would raise SIGPIPE here
    }
    off_t position = static_cast<off_t>(offset);
    for (;;) {
        const ssize_t sent = ::sendfile(socket, file_, &position, length);
        if (sent >= 0) {
            return static_cast<long>(sent);
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error == EPIPE) {
            discardPendingBrokenPipe();
        }
        return -error;
    }
}

}  // namespace sorvanta
