#include "protocol/incomplete_status.h"

namespace sorvanta {

std::string incompleteStatus(std::string_view reason) {
    if (reason.starts_with("Incomplete.")) {
        return std::string(reason);
    }
    return std::string(incompletePrefix) + std::string(reason);
}

std::string_view withoutIncompletePrefix(std::string_view status) {
    if (status.starts_with(incompletePrefix)) {
        status.remove_prefix(incompletePrefix.size());
    }
    return status;
}

}  // namespace sorvanta
