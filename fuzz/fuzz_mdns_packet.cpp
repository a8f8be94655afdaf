// Feeds arbitrary bytes to the multicast DNS packet parser, and what it accepts to the
// encoder and to the responder and browser state machines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/dnssd/mdns_browser.h"
#include "platform/dnssd/mdns_message.h"
#include "platform/dnssd/mdns_responder.h"

using namespace sorvanta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto message = parseMdnsMessage({data, size});
    if (!message) {
        return 0;
    }
    // Whatever was accepted encodes again into a packet the parser accepts.
    const auto encoded = encodeMdnsMessage(*message, mdns::maxMessageSize);
    if (!parseMdnsMessage(encoded)) {
        std::abort();
    }
    for (const auto* section : {&message->answers, &message->authorities, &message->additionals}) {
        for (const auto& record : *section) {
            (void)record.ptrTarget();
            (void)record.srvData();
            (void)record.txtStrings();
        }
    }

    static const MdnsName serviceType = MdnsName::fromText("_sorvanta._tcp.local");
    MdnsTime now{};
    MdnsServiceDescription description;
    description.instanceName = "Mac";
    description.serviceType = serviceType;
    description.port = 1;
    description.hostLabel = "sorvanta-fuzz";
    description.ipv4 = {{169, 254, 1, 1}};
    MdnsResponder responder(description, 1);
    MdnsBrowser browser(serviceType, 1);
    responder.start(now);
    browser.start(now);
    for (int step = 0; step < 12; ++step) {
        responder.receive(*message, now);
        browser.receive(*message, now);
        now += std::chrono::milliseconds(300);
        responder.advance(now);
        browser.advance(now);
        (void)responder.takePackets();
        (void)browser.takePackets();
    }
    return 0;
}
