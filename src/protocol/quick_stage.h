#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// Who sends in one stage of a run: the initiator, the responder, or both at once.
enum class QuickStage { forward, reverse, duplex };

// The sending Macs of a stage: [initiator] for forward, [responder] for reverse,
// [initiator, responder] for duplex.
std::vector<Uuid> stageSenders(QuickStage stage, const Uuid& initiator, const Uuid& responder);

template <>
struct json::EnumNames<QuickStage> {
    static constexpr std::array<std::string_view, 3> names{"forward", "reverse", "duplex"};
};

}  // namespace sorvanta
