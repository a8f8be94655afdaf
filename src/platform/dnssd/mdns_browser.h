#pragma once

#include <asio/ip/udp.hpp>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/dnssd/dnssd_txt.h"
#include "platform/dnssd/mdns_message.h"
#include "platform/dnssd/mdns_record_cache.h"

namespace sorvanta {

// One instance found by a browser on one interface.
struct MdnsBrowseResult {
    std::string instanceName;
    std::optional<DnssdTxt> txt;  // absent until a TXT record was heard

    bool operator==(const MdnsBrowseResult&) const = default;
};

// The browser for one service type on one interface, as a state machine fed received
// messages and the time. It queries continuously: the first query after 20 to 120 ms,
// then after 1, 2, 4, … seconds up to an hour, each listing the answers it already
// holds with more than half their TTL left so responders need not repeat them. It
// asks for the SRV and TXT records of a new instance that arrived without them, keeps
// every record until its TTL ends, and queries again for records that reach 80, 85,
// 90 and 95 % of their TTL, so an instance whose host answers never drops out.
//
// An instance whose host vanished without a goodbye does not wait for its TTL (75
// minutes for the service records): a failed contact reconfirms it (three queries over
// three seconds; unless it is heard again within ten seconds it goes), queries of other
// hosts that it should have answered and did not mark it the same way, and a link that
// goes down puts everything learned over it in the same doubt. An instance that leaves the
// results, however it went, starts the back-off over from a second: should it come back
// without announcing itself (its traffic flowing again), it is found about as long after its
// return as it was away.
//
class MdnsBrowser {
  public:
    MdnsBrowser(MdnsName serviceType, std::uint32_t seed);

    void start(MdnsTime now);
    void receive(const MdnsMessage& message, MdnsTime now);
    // As received from `source`: a query from another port than 5353 wants a unicast
    // answer, which this host would not see, so it says nothing about the records.
    void receive(const MdnsMessage& message, MdnsTime now, const asio::ip::udp::endpoint& source);
    void advance(MdnsTime now);
    // The link came back: query again soon and start the back-off over.
    void restartQueries(MdnsTime now);
    // Contacting the instance failed: its records must be heard again soon or they go.
    // `instance` is the full instance name ("Desk._sorvanta._tcp.local").
    void reconfirm(const MdnsName& instance, MdnsTime now);
    // The link went down: whatever was heard over it goes unless heard again within ten
    // seconds (the link back and the peers answering or announcing).
    void linkDown(MdnsTime now);

    std::optional<MdnsTime> nextWake() const;
    std::vector<std::vector<std::uint8_t>> takePackets();

    // The results, sorted by instance name.
    const std::vector<MdnsBrowseResult>& results() const { return results_; }
    // True once after the results changed.
    bool takeChanged() { return std::exchange(changed_, false); }

    const MdnsRecordCache& cache() const { return cache_; }

    static constexpr std::chrono::seconds maxQueryInterval{3600};

  private:
    struct Pending {
        int attempts = 0;
        MdnsTime next;
    };
    struct Reconfirmation {
        std::vector<MdnsQuestion> questions;
        int sent = 0;
        MdnsTime next;
    };

    bool relevant(const MdnsRecord& record, const std::vector<MdnsName>& targets) const;
    void sendQuery(const std::vector<MdnsQuestion>& questions, MdnsTime now);
    void update(MdnsTime now);

    MdnsName serviceType_;
    std::minstd_rand random_;
    MdnsRecordCache cache_;
    bool started_ = false;
    std::optional<MdnsTime> nextQuery_;
    std::chrono::milliseconds interval_{1000};
    std::map<std::string, Pending> details_;  // instance name text → SRV/TXT query state
    std::vector<Reconfirmation> reconfirmations_;
    std::vector<MdnsBrowseResult> results_;
    bool changed_ = false;
    std::vector<std::vector<std::uint8_t>> packets_;
};

}  // namespace sorvanta
