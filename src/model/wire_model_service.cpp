#include "model/wire_model_service.h"

#include <asio/post.hpp>
#include <future>

namespace sorvanta {

WireModelService::WireModelService(const Build& build)
    : work_(context_.get_executor()), thread_([this] { context_.run(); }) {
    // The service is made on its own thread, where all its state lives.
    std::promise<std::shared_ptr<WireService>> made;
    asio::post(context_, [&] {
        try {
            made.set_value(WireService::create(build(context_.get_executor())));
        } catch (...) {
            made.set_exception(std::current_exception());
        }
    });
    try {
        service_ = made.get_future().get();
    } catch (...) {
        work_.reset();
        context_.stop();
        thread_.join();
        throw;
    }
}

WireModelService::~WireModelService() {
    service_->stop();
    // The last reference goes on the service's thread, after the stop it queued.
    asio::post(context_, [service = std::move(service_)]() mutable { service.reset(); });
    // Whatever the stopped service still has in flight gets a moment to finish. The mark is
    // queued while the guard still holds the loop: released first, the loop could run dry and
    // return before the mark arrives, and the wait below would then run its full bound.
    std::promise<void> drained;
    asio::post(context_, [&] { drained.set_value(); });
    work_.reset();
    drained.get_future().wait_for(std::chrono::seconds(2));
    context_.stop();
    thread_.join();
}

}  // namespace sorvanta
