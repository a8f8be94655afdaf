#include "protocol/quick_stage.h"

namespace sorvanta {

std::vector<Uuid> stageSenders(QuickStage stage, const Uuid& initiator, const Uuid& responder) {
    switch (stage) {
        case QuickStage::forward:
            return {initiator};
        case QuickStage::reverse:
            return {responder};
        case QuickStage::duplex:
            return {initiator, responder};
    }
    return {};
}

}  // namespace sorvanta
