#include "protocol/quick_profile.h"

namespace sorvanta {

namespace {
constexpr std::array<QuickStage, 3> quickStages{QuickStage::forward, QuickStage::reverse,
                                                QuickStage::duplex};
constexpr std::array<QuickStage, 1> forwardStages{QuickStage::forward};
constexpr std::array<QuickStage, 1> reverseStages{QuickStage::reverse};
constexpr std::array<QuickStage, 1> duplexStages{QuickStage::duplex};
}  // namespace

std::span<const QuickStage> profileStages(QuickProfile profile) {
    switch (profile) {
        case QuickProfile::quick:
            return quickStages;
        case QuickProfile::forward:
            return forwardStages;
        case QuickProfile::reverse:
            return reverseStages;
        case QuickProfile::duplex:
            return duplexStages;
    }
    return {};
}

bool isValidStage(QuickProfile profile, std::int64_t stage) {
    return stage >= 0 && static_cast<std::uint64_t>(stage) < profileStages(profile).size();
}

}  // namespace sorvanta
