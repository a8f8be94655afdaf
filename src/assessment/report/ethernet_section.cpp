#include "assessment/report/connection_details_report.h"
#include "assessment/text/peer_text.h"

namespace sorvanta {
namespace {

using Format = DisplayFormat;
using Counter = std::optional<std::uint32_t> EthernetCounterSnapshot::*;

std::string counterLine(std::string_view label, Counter counter, const EthernetRunEvidence& e) {
    const auto& before = e.before.*counter;
    const auto after = e.after ? (*e.after).*counter : std::nullopt;
    const auto delta = e.delta(counter);
    return std::string(label) + ": " + (before ? Format::decimal(*before) : "Unavailable") +
           " \u2192 " + (after ? Format::decimal(*after) : "Unavailable") + "; delta " +
           (delta ? Format::decimal(*delta)
                  : "Unavailable (missing/decreased/reset/wrap uncertain)");
}

std::string adapterLine(const AdapterProfile& adapter, const DisplayFormat& format) {
    std::string line =
        adapter.chip ? cleanPeerText(*adapter.chip) + ", up to " +
                           format.rateText(static_cast<double>(adapter.maximum.value_or(0))) +
                           " (known chipset)"
                     : "maximum speed unknown (not in Sorvanta\u2019s verified chipset table)";
    if (adapter.connection) {
        line += "; USB connection " + format.rateText(static_cast<double>(*adapter.connection));
    }
    return line;
}

std::string linkLine(const EthernetLinkSample& sample) {
    std::string line = "Link " + Format::plain(sample.offset) + "s: carrier " +
                       (!sample.active   ? "Unavailable"
                        : *sample.active ? "active"
                                         : "inactive") +
                       "; rate " +
                       (sample.rate ? Format::decimal(*sample.rate) + " bps" : "Unavailable");
    if (sample.fullDuplex) {
        line += *sample.fullDuplex ? "; full-duplex" : "; half-duplex";
    }
    return line;
}

}  // namespace

std::string ConnectionDetailsReport::ethernetSection(const EthernetRunEvidence& e,
                                                     const DisplayFormat& format) {
    const auto problem = e.counterIntervalProblem();
    std::vector<std::string> lines{
        "Participant " + e.participant.text() + "; run " + e.run.text() + "; session " +
            e.session.text(),
        "Selected interface " + cleanPeerText(e.interface) + "/" +
            Format::decimal(e.interfaceIndex),
        "Counter source: getifaddrs AF_LINK/if_data; unsigned 32-bit interface counters",
        "Counter offsets: " + Format::plain(e.before.offset) + "\u2026" +
            (e.after ? Format::plain(e.after->offset) + "s" : "Unavailable"),
        counterLine("Generic receive errors", &EthernetCounterSnapshot::rxErrors, e),
        counterLine("Generic transmit errors", &EthernetCounterSnapshot::txErrors, e),
        counterLine("Generic input drops", &EthernetCounterSnapshot::inputDrops, e),
        "Counter interval validity: " +
            (problem
                 ? cleanPeerText(*problem)
                 : "Matching interface; no detected administrative reset or decreasing counter"),
        "CRC/FCS counters: unavailable; no documented sandbox-compatible collector established "
        "for these adapters",
        "Adapter: " + (e.adapter ? adapterLine(*e.adapter, format) : "Unavailable"),
        std::string("Low Power Mode: ") + (!e.lowPowerMode ? "not recorded"
                                           : *e.lowPowerMode
                                               ? "on during this test (it can lower speed)"
                                               : "off throughout"),
        "Link source: SIOCGIFXMEDIA negotiated media, else IORegistry kIOLinkStatus/kIOLinkSpeed; "
        "driver-reported active rate",
        "Link coverage: " + (e.coverageReason
                                 ? cleanPeerText(*e.coverageReason)
                                 : "Bounded sampled observations; brief transitions may be missed"),
    };
    for (const auto& sample : e.links) {
        lines.push_back(linkLine(sample));
    }
    lines.push_back("Observed link changes: " + Format::decimal(e.linkChanges().size()) +
                    " (no cause inferred)");
    std::string section;
    for (const auto& line : lines) {
        section += (section.empty() ? "" : "\n") + line;
    }
    return section;
}

}  // namespace sorvanta
