#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace sorvanta {

// A buffer that a connection sends over and over, held once in a pipe. Each write duplicates
// whole copies of it by reference into a second pipe (tee) and moves them from there into the
// socket (splice): the pages are neither copied nor looked up in a file on every write. What
// the socket did not take stays in the second pipe and leaves first on the next write.
//
// Its writes are one stream: each call asks for the range that follows what earlier calls
// took. A copy is added only where a whole one begins; a call that starts inside a copy with
// nothing left over is refused (−ENOTSUP) and the caller writes that part from elsewhere.
class RepeatedPayloadPipe {
  public:
    // Empty when the system refuses the pipes or their sizes.
    static std::optional<RepeatedPayloadPipe> create(std::span<const std::uint8_t> bytes,
                                                     std::size_t copies);

    RepeatedPayloadPipe(RepeatedPayloadPipe&& other) noexcept
        : source_(std::exchange(other.source_, -1)),
          staging_(std::exchange(other.staging_, {-1, -1})),
          size_(other.size_),
          capacity_(other.capacity_),
          staged_(std::exchange(other.staged_, 0)) {}
    RepeatedPayloadPipe& operator=(RepeatedPayloadPipe&& other) noexcept;
    RepeatedPayloadPipe(const RepeatedPayloadPipe&) = delete;
    RepeatedPayloadPipe& operator=(const RepeatedPayloadPipe&) = delete;
    ~RepeatedPayloadPipe();

    // The buffer's size, and the most one call can take: `copies` of it.
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    // Bytes handed to an earlier call that the socket has not taken yet.
    std::size_t staged() const { return staged_; }

    // Queues up to `length` bytes (at most capacity()) of the buffer repeated, from `offset`
    // within its first copy, on the non-blocking stream socket `socket`. Returns how many
    // were taken (fewer when the socket filled up), or −errno; −ENOTSUP when nothing is
    // staged and `offset` is inside a copy. Only on a thread that holds SIGPIPE blocked
    // (as for files); elsewhere it takes nothing and returns −EPERM.
    long sendTo(int socket, std::size_t offset, std::size_t length);

  private:
    struct Ends {
        int read = -1, write = -1;
    };
    RepeatedPayloadPipe(int source, Ends staging, std::size_t size, std::size_t capacity)
        : source_(source), staging_(staging), size_(size), capacity_(capacity) {}

    int source_ = -1;  // read end of the pipe that holds one copy; its write end is closed
    Ends staging_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t staged_ = 0;
};

}  // namespace sorvanta
