#include "platform/net/repeated_payload_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/net/repeated_payload_file.h"

namespace sorvanta {

namespace {

void closeIfOpen(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

// Sets the pipe's size to at least `bytes`; its size afterwards, or 0 when refused.
std::size_t resize(int pipe, std::size_t bytes) {
    const int size = ::fcntl(pipe, F_SETPIPE_SZ, static_cast<int>(bytes));
    return size > 0 && static_cast<std::size_t>(size) >= bytes ? static_cast<std::size_t>(size) : 0;
}

}  // namespace

std::optional<RepeatedPayloadPipe> RepeatedPayloadPipe::create(std::span<const std::uint8_t> bytes,
                                                               std::size_t copies) {
    if (bytes.empty() || copies == 0) {
        return std::nullopt;
    }
    int source[2], staging[2];
    if (::pipe2(source, O_CLOEXEC | O_NONBLOCK) != 0) {
        return std::nullopt;
    }
    if (::pipe2(staging, O_CLOEXEC | O_NONBLOCK) != 0) {
        closeIfOpen(source[0]), closeIfOpen(source[1]);
        return std::nullopt;
    }
    RepeatedPayloadPipe result(source[0], {staging[0], staging[1]}, bytes.size(), 0);
    // The copy is written once and never again; the pipe must hold all of it.
    bool held = resize(source[1], bytes.size()) != 0;
    for (std::span<const std::uint8_t> rest = bytes; held && !rest.empty();) {
        const ssize_t wrote = ::write(source[1], rest.data(), rest.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        held = wrote > 0;
        rest = rest.subspan(held ? static_cast<std::size_t>(wrote) : rest.size());
    }
    ::close(source[1]);
    if (!held) {
        return std::nullopt;
    }
    // A pipe holds a number of pages, and a copy takes as many as it spans. A copy is added
    // only while a whole one fits beside what is staged, which then lies within at most
    // `copies` - 1 copies' pages (the first perhaps partly taken): room for `copies`.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t pagesPerCopy = (bytes.size() + page - 1) / page;
    for (std::size_t k = copies; k > 0; --k) {
        if (resize(staging[1], k * pagesPerCopy * page) != 0) {
            result.capacity_ = k * bytes.size();
            return result;
        }
    }
    return std::nullopt;
}

RepeatedPayloadPipe& RepeatedPayloadPipe::operator=(RepeatedPayloadPipe&& other) noexcept {
    if (this != &other) {
        closeIfOpen(source_);
        closeIfOpen(staging_.read);
        closeIfOpen(staging_.write);
        source_ = std::exchange(other.source_, -1);
        staging_ = std::exchange(other.staging_, {-1, -1});
        size_ = other.size_;
        capacity_ = other.capacity_;
        staged_ = std::exchange(other.staged_, 0);
    }
    return *this;
}

RepeatedPayloadPipe::~RepeatedPayloadPipe() {
    closeIfOpen(source_);
    closeIfOpen(staging_.read);
    closeIfOpen(staging_.write);
}

long RepeatedPayloadPipe::sendTo(int socket, std::size_t offset, std::size_t length) {
    if (offset >= size_ || length == 0 || length > capacity_) {
        return -EINVAL;
    }
    if (!RepeatedPayloadFile::threadPrepared()) {
        return -EPERM;  // a write to a closed peer would raise SIGPIPE here
    }
    // Whole copies follow what is staged while the stream is at the start of a copy.
    while (staged_ < length && (offset + staged_) % size_ == 0 && staged_ + size_ <= capacity_) {
        const ssize_t added = ::tee(source_, staging_.write, size_, SPLICE_F_NONBLOCK);
        if (added < 0 && errno == EINTR) {
            continue;
        }
        if (added <= 0) {
            break;
        }
        staged_ += static_cast<std::size_t>(added);
    }
    if (staged_ == 0) {
        return -ENOTSUP;
    }
    for (;;) {
        const ssize_t sent = ::splice(staging_.read, nullptr, socket, nullptr,
                                      std::min(staged_, length), SPLICE_F_NONBLOCK);
        if (sent >= 0) {
            staged_ -= static_cast<std::size_t>(sent);
            return static_cast<long>(sent);
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error == EPIPE) {
            RepeatedPayloadFile::discardPendingBrokenPipe();
        }
        return -error;
    }
}

}  // namespace sorvanta
