// The data plane of BulkTransfer: the send pump, receives, received bytes and the tick.

#include <exception>

#include "engines/bulk_transfer.h"
#include "engines/bulk_transfer_deadlines.h"
#include "engines/receive_low_water.h"
#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

constexpr const char* protocolViolation = "Invalid data preamble or payload ordering.";
constexpr const char* checkMismatch = "Preparation peer/session/token did not match.";

}  // namespace

void BulkTransfer::pumpSends() {
    if (!startRequested_ || !ready_ || !preambleSent_ || transferring_) {
        return;
    }
    if (!verifyCurrentPath()) {
        return;
    }
    transferring_ = true;
    lastProgress_ = now();
    bulkStarted_ = now();
    sampleSlices(now());
    while (!ended_ && transferring_ && connection_ && callbacks_ && pendingSends_ < sendsInFlight) {
        sendPayload();
    }
}

void BulkTransfer::sendPayload() {
    ++pendingSends_;
    connection_->send(payload_, [queue = callbacks_](std::optional<PlatformError> error) {
        queue->send(Sent{error});
    });
}

void BulkTransfer::receiveNext() {
    if (!connection_ || !callbacks_ || ended_) {
        return;
    }
    if (settings_.receiving && !settings_.verificationOnly && decoder_.complete()) {
        // Payload is only counted: one event per batch of reads that found data waiting.
        connection_->receiveCounted(
            stageReceiveMaximum, payloadReadsPerEvent,
            [queue = callbacks_](std::size_t count, bool isComplete,
                                 std::optional<PlatformError> error) {
                Received value;
                value.count = count;
                value.isComplete = isComplete;
                value.error = error;
                queue->send(std::move(value));
            });
        return;
    }
    const std::size_t maximum = settings_.verificationOnly ? checkReceiveMaximum
                                : settings_.receiving      ? stageReceiveMaximum
                                                           : 1;
    connection_->receive(
        1, maximum,
        [queue = callbacks_](std::span<const std::uint8_t> data, bool isComplete,
                             std::optional<PlatformError> error) {
            Received value;
            value.count = data.size();
            value.bytes.assign(data.begin(), data.end());
            value.isComplete = isComplete;
            value.error = error;
            queue->send(std::move(value));
        });
}

void BulkTransfer::receivedOnCheck(const Received& value) {
    if (verificationComplete_) {
        return;
    }
    if (value.count > 0) {
        try {
            if (!decoder_.consume(value.bytes, settings_.preamble).empty()) {
                fail(checkMismatch, RunEndCause::tester);
                return;
            }
        } catch (const ProtocolFailure&) {
            fail(checkMismatch, RunEndCause::tester);
            return;
        }
        if (decoder_.complete()) {
            if (!verifyCurrentPath() || !connection_ || !callbacks_) {
                return;
            }
            if (!settings_.receiving) {
                verificationComplete_ = true;
                emit(BulkTransferEvent::Verified{});
            } else {
                connection_->send(settings_.preamble.encoded(), [queue = callbacks_](auto error) {
                    queue->send(VerificationReplySent{error});
                });
            }
            return;
        }
    }
    if (value.error || value.isComplete) {
        fail("Preparation handshake interrupted.", RunEndCause::connection);
        return;
    }
    receiveNext();
}

void BulkTransfer::received(Received value) {
    if (settings_.verificationOnly) {
        receivedOnCheck(value);
        return;
    }
    const bool ends = value.error.has_value() || value.isComplete;
    if (resultProduced_) {
        if (!settings_.barrierControlled) {
            return;
        }
        if (ends) {
            fail("Data stream ended before both Macs finished the stage.", RunEndCause::connection);
            return;
        }
        if (value.count > 0) {
            lastProgress_ = now();
        }
        receiveNext();
        return;
    }
    if (value.count > 0) {
        if (!settings_.receiving) {
            fail(protocolViolation, RunEndCause::tester);
            return;
        }
        if (!decoder_.complete()) {
            try {
                if (!decoder_.consume(value.bytes, settings_.preamble).empty()) {
                    fail(protocolViolation, RunEndCause::tester);
                    return;
                }
            } catch (const ProtocolFailure&) {
                fail(protocolViolation, RunEndCause::tester);
                return;
            }
            if (decoder_.complete()) {
                if (!verifyCurrentPath()) {
                    return;
                }
                emit(BulkTransferEvent::ReceiverReady{});
            }
        } else {
            if (!transferring_) {
                fail(protocolViolation, RunEndCause::tester);
                return;
            }
            try {
                meter_.record(static_cast<std::int64_t>(value.count), now());
            } catch (const ProtocolFailure&) {
                fail(protocolViolation, RunEndCause::tester);
                return;
            }
            lastProgress_ = now();
        }
    }
    if (ends) {
        fail("Data stream ended before result exchange.", RunEndCause::connection);
        return;
    }
    if (settings_.receiving && decoder_.complete() && !transferring_) {
        return;  // startTransfer() issues the first payload read
    }
    receiveNext();
}

void BulkTransfer::tick(double t) {
    BulkDeadlines::Facts facts;
    facts.receiving = settings_.receiving;
    facts.barrierControlled = settings_.barrierControlled;
    facts.transferring = transferring_;
    facts.resultProduced = resultProduced_;
    facts.verificationComplete = verificationComplete_;
    facts.preambleComplete = decoder_.complete();
    facts.bulkStarted = bulkStarted_;
    facts.lastProgress = lastProgress_;
    facts.acceptedAt = acceptedAt_;
    if (const auto passed = BulkDeadlines::expired(facts, t)) {
        if (*passed == BulkDeadlines::Kind::preparation &&
            preparationIssue_ != SetupIssue::policyDenied) {
            preparationIssue_ = SetupIssue::timeout;
        }
        const auto failure = BulkDeadlines::failure(*passed, preparationWaitReason_);
        fail(failure.message, failure.cause);
        return;
    }
    if (!transferring_ || (resultProduced_ && !settings_.barrierControlled)) {
        return;
    }
    sampleSlices(t);
    if (settings_.receiving) {
        adjustReceiveLowWater(t);
    }
    if (!settings_.receiving || resultProduced_) {
        return;
    }
    const auto& first = meter_.firstPayload();
    if (settings_.barrierControlled && !warmReported_ && first && t - *first >= meter_.warmup()) {
        warmReported_ = true;
        emit(BulkTransferEvent::Warmed{});
    }
    try {
        const auto sample = meter_.sample(t);
        const bool final = meter_.result().has_value();
        // Checked as the peer will check it: a sample it would refuse is an accounting fault.
        sample.validate(final, final ? meter_.duration() : 0);
        emitSample(sample, final);
    } catch (const ProtocolFailure&) {
        fail("Receiver timing or byte accounting failed.", RunEndCause::tester);
    }
}

void BulkTransfer::adjustReceiveLowWater(double t) {
    // Counted bytes stop growing once the result is fixed, so the mark falls back to one
    // byte and whatever still arrives is read at once.
    const std::uint64_t total = meter_.total();
    if (lowWaterAt_ && connection_) {
        connection_->setReceiveLowWater(
            ReceiveLowWater::mark(total - lowWaterTotal_, t - *lowWaterAt_));
    }
    lowWaterAt_ = t;
    lowWaterTotal_ = total;
}

void BulkTransfer::emitSample(const SpeedSample& sample, bool final) {
    if (!final) {
        emit(BulkTransferEvent::Progress{sample});
        return;
    }
    resultProduced_ = true;
    if (!settings_.barrierControlled) {
        transferring_ = false;
    }
    emit(BulkTransferEvent::Result{sample});
}

}  // namespace sorvanta
