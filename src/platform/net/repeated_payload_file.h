#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace sorvanta {

// A buffer that a connection sends over and over, held `copies` times back to back in an
// anonymous memory file, so that the kernel can queue its pages on a socket by reference
// instead of copying the bytes on every write. Consecutive sends of the buffer are one range
// of the file, up to `copies` of them in one call.
class RepeatedPayloadFile {
  public:
    // Empty when the system refuses the file; the caller then writes the bytes as usual.
    static std::optional<RepeatedPayloadFile> create(std::span<const std::uint8_t> bytes,
                                                     std::size_t copies);

    RepeatedPayloadFile(RepeatedPayloadFile&& other) noexcept
        : file_(std::exchange(other.file_, -1)), size_(other.size_) {}
    RepeatedPayloadFile& operator=(RepeatedPayloadFile&& other) noexcept;
    RepeatedPayloadFile(const RepeatedPayloadFile&) = delete;
    RepeatedPayloadFile& operator=(const RepeatedPayloadFile&) = delete;
    ~RepeatedPayloadFile();

    // Bytes in the file: the buffer's size times the copies.
    std::size_t size() const { return size_; }

    // sendfile() has no MSG_NOSIGNAL: a write to a closed peer raises SIGPIPE at the calling
    // thread. A thread that will send from files calls this once where it starts: the signal
    // is blocked on it for good, so that a failed send leaves it pending instead of ending
    // the process, and sendTo() takes it back. Other threads keep their signal mask.
    static void prepareThread();
    static bool threadPrepared();
    // After a write to a closed peer on a prepared thread: takes back the SIGPIPE it left
    // pending, so that nothing is pending after the write.
    static void discardPendingBrokenPipe();

    // Queues up to `length` bytes of the file from `offset` on the non-blocking stream
    // socket `socket`. Returns how many were taken (fewer when the socket filled up), or
    // −errno; a closed peer is −EPIPE, never a signal, and nothing is pending after it. On a
    // thread not prepared it takes nothing and returns −EPERM.
    long sendTo(int socket, std::size_t offset, std::size_t length) const;

  private:
    RepeatedPayloadFile(int file, std::size_t size) : file_(file), size_(size) {}

    int file_ = -1;
    std::size_t size_ = 0;
};

}  // namespace sorvanta
