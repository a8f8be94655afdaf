#include "support/platform_error.h"

#include <cstring>

namespace sorvanta {

namespace {

const char* dnssdName(int code) {
    switch (code) {
        case -65537:
            return "unknown";
        case -65538:
            return "no such name";
        case -65539:
            return "no memory";
        case -65540:
            return "bad parameter";
        case -65541:
            return "bad reference";
        case -65542:
            return "bad state";
        case -65543:
            return "bad flags";
        case -65544:
            return "unsupported";
        case -65545:
            return "not initialized";
        case -65547:
            return "already registered";
        case -65548:
            return "name conflict";
        case -65549:
            return "invalid";
        case -65551:
            return "incompatible";
        case -65552:
            return "bad interface index";
        case -65554:
            return "no such record";
        case -65563:
            return "service not running";
        case -65568:
            return "timeout";
        case -65570:
            return "policy denied";
        default:
            return "error";
    }
}

}  // namespace

std::string PlatformError::text() const {
    if (domain == Domain::dnssd) {
        return "DNS-SD error " + std::to_string(code) + ": " + dnssdName(code);
    }
    // strerrordesc_np is stable and locale-independent, unlike strerror.
    const char* description = strerrordesc_np(code);
    return "POSIX error " + std::to_string(code) + ": " +
           (description != nullptr ? description : "Unknown error");
}

}  // namespace sorvanta
