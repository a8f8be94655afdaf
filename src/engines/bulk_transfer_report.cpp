// The TCP sender report of BulkTransfer: one-second slices during the stage and the
// collection of the whole-connection report with its window and last slice.

#include <asio/post.hpp>

#include "engines/bulk_transfer.h"

namespace sorvanta {

void BulkTransfer::sampleSlices(double t) {
    if (settings_.receiving || settings_.verificationOnly || !transferring_ || !connection_ ||
        !readyAt_) {
        return;
    }
    const double sinceReady = t - *readyAt_;
    if (sliceReport_ && sliceStart_) {
        if (sinceReady - *sliceStart_ < 1.0) {
            return;
        }
        sliceReport_->collect(
            [weak = weak_from_this(), start = *sliceStart_](const DataTransferReport& report) {
                if (auto self = weak.lock()) {
                    if (auto slice = self->reportBuilder_.slice(report, start)) {
                        self->slices_.append(*slice);
                    }
                }
            });
        sliceReport_.reset();
    }
    if (slices_.size() < TcpSliceLog::capacity - 1) {
        sliceReport_ = connection_->startDataTransferReport();
        sliceStart_ = sinceReady;
    }
}

void BulkTransfer::collectReport(ReportCompletion completion) {
    auto answer = [this, &completion](std::optional<TCPObservation> report) {
        asio::post(executor_, [completion = std::move(completion), report]() mutable {
            completion(std::move(report));
        });
    };
    if (settings_.receiving || settings_.verificationOnly || reportCollected_) {
        answer(std::nullopt);
        return;
    }
    reportCollected_ = true;
    if (ended_) {
        answer(reportBuilder_.failure(TcpSenderReport::endedBeforeCollection));
        return;
    }
    prepareForCollection();
    if (!transferReport_) {
        answer(reportBuilder_.failure(TcpSenderReport::notStarted));
        return;
    }
    collection_.emplace();
    collection_->completion = std::move(completion);
    collection_->report = reportBuilder_.failure(TcpSenderReport::timedOut);
    collection_->timeout = scheduler_.schedule(reportTimeout, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && self->collection_ && !self->collection_->wholeArrived) {
            self->finishCollection(self->reportBuilder_.failure(TcpSenderReport::timedOut));
        }
    });
    transferReport_->collect([weak = weak_from_this()](const DataTransferReport& report) {
        if (auto self = weak.lock()) {
            self->wholeReportArrived(report);
        }
    });
    transferReport_.reset();
}

void BulkTransfer::wholeReportArrived(const DataTransferReport& report) {
    if (!collection_ || collection_->wholeArrived) {
        return;  // timed out or cancelled: the late report is dropped
    }
    scheduler_.cancel(collection_->timeout);
    collection_->wholeArrived = true;
    collection_->report = reportBuilder_.observation(report);
    if (collection_->report.reason) {
        finishCollection(collection_->report);
        return;
    }
    // The window and the last open slice, collected together, each within a second.
    auto window = std::move(windowReport_);
    auto last = std::move(sliceReport_);
    windowReport_.reset();
    sliceReport_.reset();
    const std::pair<std::optional<PendingTransferReport>*, std::optional<double>> parts[] = {
        {&window, windowStart_}, {&last, sliceStart_}};
    for (bool isWindow : {true, false}) {
        const auto& [pending, start] = parts[isWindow ? 0 : 1];
        if (!*pending || !start) {
            continue;
        }
        ++collection_->partsWaiting;
        (*pending)->collect(
            [weak = weak_from_this(), isWindow, start = *start](const DataTransferReport& report) {
                if (auto self = weak.lock()) {
                    self->partArrived(isWindow, self->reportBuilder_.slice(report, start));
                }
            });
    }
    if (collection_->partsWaiting == 0) {
        partArrived(true, std::nullopt);
        return;
    }
    collection_->timeout = scheduler_.schedule(partsTimeout, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && self->collection_) {
            auto report = self->collection_->report;
            TcpSenderReport::complete(report, self->collection_->window, self->slices_.slices(),
                                      self->collection_->last);
            self->finishCollection(std::move(report));
        }
    });
}

void BulkTransfer::partArrived(bool window, std::optional<TCPSlice> slice) {
    if (!collection_ || !collection_->wholeArrived) {
        return;
    }
    (window ? collection_->window : collection_->last) = slice;
    if (collection_->partsWaiting > 0 && --collection_->partsWaiting > 0) {
        return;
    }
    scheduler_.cancel(collection_->timeout);
    auto report = collection_->report;
    TcpSenderReport::complete(report, collection_->window, slices_.slices(), collection_->last);
    finishCollection(std::move(report));
}

void BulkTransfer::finishCollection(TCPObservation report) {
    auto collection = std::move(*collection_);
    collection_.reset();
    scheduler_.cancel(collection.timeout);
    // What leaves this Mac must pass the peer's check.
    asio::post(executor_, [completion = std::move(collection.completion),
                           report = reportBuilder_.checkedForPeer(std::move(report))]() mutable {
        completion(std::move(report));
    });
}

}  // namespace sorvanta
