#include "protocol/stage_measurement.h"

#include <algorithm>
#include <cmath>

namespace sorvanta {

std::optional<double> StageMeasurement::duplexBitsPerSecond() const {
    if (mode != QuickStage::duplex || directions.size() != 2) {
        return std::nullopt;
    }
    double total = 0;
    for (const auto& direction : directions) {
        if (!direction.complete || !direction.sample) {
            return std::nullopt;
        }
        auto rate = direction.sample->bitsPerSecond();
        if (!rate) {
            return std::nullopt;
        }
        total += *rate;
    }
    return total;
}

std::optional<double> StageMeasurement::senderCapacity(const Uuid& sender,
                                                       std::span<const StageMeasurement> stages) {
    const DirectionMeasurement* single = nullptr;
    const DirectionMeasurement* duplex = nullptr;
    std::size_t singleCount = 0;
    std::size_t duplexCount = 0;
    for (const auto& stage : stages) {
        bool isDuplex = stage.mode == QuickStage::duplex;
        for (const auto& direction : stage.directions) {
            if (direction.sender != sender) {
                continue;
            }
            if (isDuplex) {
                duplex = &direction;
                ++duplexCount;
            } else {
                single = &direction;
                ++singleCount;
            }
        }
    }
    if (singleCount != 1 || duplexCount != 1 || !single->complete || !duplex->complete) {
        return std::nullopt;
    }
    auto usableRate = [](const DirectionMeasurement& direction) -> std::optional<double> {
        if (!direction.sample) {
            return std::nullopt;
        }
        auto rate = direction.sample->bitsPerSecond();
        if (!rate || !std::isfinite(*rate) || !(*rate > 0)) {
            return std::nullopt;
        }
        return rate;
    };
    auto singleRate = usableRate(*single);
    auto duplexRate = usableRate(*duplex);
    if (!singleRate || !duplexRate) {
        return std::nullopt;
    }
    return std::min(*singleRate, *duplexRate);
}

}  // namespace sorvanta
