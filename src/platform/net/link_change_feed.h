#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/net/link_request.h"

namespace sorvanta {

// Tells a poller of one interface whether it may have changed since it last asked, so that
// it reads the interfaces (a whole dump) only then. Addresses are followed through the
// kernel's rtnetlink announcements, which it sends as it changes them. The link's flags and
// name are asked for each time (one small request): the kernel may announce a carrier
// change up to a second after the flag itself changed, and the poller must see the flag as
// soon as a read would.
class LinkChangeFeed {
  public:
    // Subscribes in the calling thread's namespace; null when a socket cannot be opened.
    static std::unique_ptr<LinkChangeFeed> open(int index);
    ~LinkChangeFeed();
    LinkChangeFeed(const LinkChangeFeed&) = delete;
    LinkChangeFeed& operator=(const LinkChangeFeed&) = delete;

    // True on the first call; afterwards when the kernel announced anything since the
    // previous call, its announcements overran the queue, the link's up and carrier flags
    // or name differ from the previous call's, or the link cannot be asked for. Drains what
    // is queued.
    bool changedSinceLastAsked();

  private:
    LinkChangeFeed(int index, int announcements, int requests)
        : index_(index), announcements_(announcements), requests_(requests) {}
    bool drainAnnouncements();

    int index_;
    int announcements_;
    int requests_;
    unsigned sequence_ = 0;
    bool asked_ = false;
    std::optional<LinkFacts> last_;
};

}  // namespace sorvanta
