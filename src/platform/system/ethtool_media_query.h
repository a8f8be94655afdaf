#pragma once

#include <string>

#include "platform/system/link_reading.h"

namespace sorvanta {

// Asks the interface's driver, in the calling thread's network namespace, for its link:
// ETHTOOL_GLINK for whether it is up (`valid` absent when that cannot be asked), and
// ETHTOOL_GLINKSETTINGS for speed and duplex (absent when unknown). Opens and closes one
// datagram socket; never throws.
MediaReading ethtoolMediaReading(const std::string& name);

}  // namespace sorvanta
