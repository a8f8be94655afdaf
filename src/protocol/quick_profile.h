#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/quick_stage.h"
#include "support/json_codec.h"

namespace sorvanta {

// Which stages a run contains. Only `quick` is ever requested by this application; the
// others exist in the protocol.
enum class QuickProfile { quick, forward, reverse, duplex };

inline constexpr std::array<QuickProfile, 4> allQuickProfiles{
    QuickProfile::quick, QuickProfile::forward, QuickProfile::reverse, QuickProfile::duplex};

// The stages of a profile, in run order.
std::span<const QuickStage> profileStages(QuickProfile profile);

// A stage number is valid for a profile when 0 <= stage < the number of its stages.
bool isValidStage(QuickProfile profile, std::int64_t stage);

template <>
struct json::EnumNames<QuickProfile> {
    static constexpr std::array<std::string_view, 4> names{"quick", "forward", "reverse", "duplex"};
};

}  // namespace sorvanta
