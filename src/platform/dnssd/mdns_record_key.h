#pragma once

#include <cstddef>
#include <string>

#include "platform/dnssd/mdns_message.h"

namespace sorvanta {

// Hash keys for looking records up by name or by data. Names that compare equal (letters in
// any case) have equal keys, and so do records that hold the same data (MdnsRecord::sameData)
// as parsed or built here, with the names in PTR and SRV data written out whole. Keys are
// letters folded, so unequal names or records may share a key: a lookup gives candidates,
// each still to be compared. A name key may start at a later label, for the name's suffix.
std::string mdnsNameKey(const MdnsName& name, std::size_t fromLabel = 0);
std::string mdnsDataKey(const MdnsRecord& record);

}  // namespace sorvanta
