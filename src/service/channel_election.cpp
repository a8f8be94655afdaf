#include "service/channel_election.h"

#include <algorithm>

namespace sorvanta {

ElectionOutcome electChannel(const ElectionCandidate& channel, const Uuid& localID,
                             const std::optional<Uuid>& remoteID,
                             const std::optional<Uuid>& activeChannel,
                             const std::vector<ElectionCandidate>& others) {
    if (!remoteID) {
        return ElectionOutcome::noIdentity;
    }
    if (activeChannel && *activeChannel != channel.channel) {
        return ElectionOutcome::anotherActive;
    }
    const std::string local = localID.text();
    const std::string remote = remoteID->text();
    if (local != remote && !channel.initiator && local < remote) {
        const bool ownDialPending =
            std::any_of(others.begin(), others.end(), [&](const ElectionCandidate& other) {
                return other.channel != channel.channel && other.initiator &&
                       other.expectedPeer == remoteID && other.state == ConnectionState::connecting;
            });
        if (ownDialPending) {
            return ElectionOutcome::yieldToOwnDial;
        }
    }
    return ElectionOutcome::win;
}

}  // namespace sorvanta
