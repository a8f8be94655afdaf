#pragma once

#include <memory>

namespace sorvanta {

// Tells a poller whether any link or address of the calling thread's namespace may have
// changed since it last asked, so that it reads the interfaces again only then. The kernel
// announces every change of a link's flags, name or addresses on rtnetlink; asking costs one
// non-blocking receive, reading the interfaces a whole dump.
class LinkChangeFeed {
  public:
    // Subscribes in the calling thread's namespace; null when the socket cannot be opened.
    static std::unique_ptr<LinkChangeFeed> open();
    ~LinkChangeFeed();
    LinkChangeFeed(const LinkChangeFeed&) = delete;
    LinkChangeFeed& operator=(const LinkChangeFeed&) = delete;

    // True on the first call, and afterwards when the kernel announced anything since the
    // previous call or its announcements overran the queue (then some may be lost). Drains
    // what is queued.
    bool changedSinceLastAsked();

  private:
    explicit LinkChangeFeed(int fd) : fd_(fd) {}

    int fd_;
    bool asked_ = false;
};

}  // namespace sorvanta
