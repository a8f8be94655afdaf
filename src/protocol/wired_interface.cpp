#include "protocol/wired_interface.h"

namespace sorvanta {

std::string WiredInterface::title() const {
    std::string text(json::enumName(connectionType));
    text += " \u00B7 ";
    text += label;
    return text;
}

}  // namespace sorvanta
