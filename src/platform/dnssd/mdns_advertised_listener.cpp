#include "platform/dnssd/mdns_advertised_listener.h"

#include <asio/post.hpp>

#include "platform/dnssd/advertised_listener_state.h"

namespace sorvanta {

std::shared_ptr<MdnsAdvertisedListener> MdnsAdvertisedListener::create(NetworkExecutor executor,
                                                                       NetworkParameters parameters,
                                                                       Service service) {
    return std::shared_ptr<MdnsAdvertisedListener>(
        new MdnsAdvertisedListener(std::move(executor), std::move(parameters), std::move(service)));
}

MdnsAdvertisedListener::MdnsAdvertisedListener(NetworkExecutor executor,
                                               NetworkParameters parameters, Service service)
    : executor_(std::move(executor)),
      parameters_(std::move(parameters)),
      service_(std::move(service)) {}

MdnsAdvertisedListener::~MdnsAdvertisedListener() {
    if (listener_) {
        listener_->cancel();
    }
    if (advertiser_) {
        advertiser_->cancel();
    }
}

void MdnsAdvertisedListener::start() {
    asio::post(executor_, [self = shared_from_this()] {
        if (self->cancelled_ || self->listener_) {
            return;
        }
        self->listener_ = SocketTcpListener::create(self->executor_, self->parameters_);
        std::weak_ptr<MdnsAdvertisedListener> weak = self;
        self->listener_->setStateHandler([weak](const ListenerState& state) {
            if (auto me = weak.lock()) {
                me->listenerChanged(state);
            }
        });
        self->listener_->setNewConnectionHandler([weak](std::shared_ptr<TcpConnection> c) {
            auto me = weak.lock();
            if (me && me->gate_.isOpen() && me->connectionHandler_) {
                me->connectionHandler_(std::move(c));
            } else if (c) {
                c->cancel();
            }
        });
        self->listener_->start();
    });
}

void MdnsAdvertisedListener::cancel() {
    gate_.close();
    asio::post(executor_, [self = shared_from_this()] {
        self->cancelled_ = true;
        if (self->listener_) {
            self->listener_->cancel();
        }
        self->stopAdvertising();
        self->state_.markCancelled();
    });
}

void MdnsAdvertisedListener::stopAdvertising() {
    if (advertiser_) {
        advertiser_->cancel();
        advertiser_.reset();
    }
    advertisedPort_ = 0;
    advertiserState_.reset();
    registered_ = false;
}

void MdnsAdvertisedListener::listenerChanged(const ListenerState& state) {
    if (cancelled_) {
        return;
    }
    listenerState_ = state;
    if (state.kind != ListenerState::Kind::ready) {
        stopAdvertising();
    } else if (!advertiser_ || advertisedPort_ != state.port) {
        stopAdvertising();
        DnssdAdvertiser::Service service{service_.instanceName, service_.serviceType, state.port,
                                         service_.txt};
        DnssdAdvertiser::Options options;
        if (parameters_.requiredInterface) {
            options.interfaceIndex = parameters_.requiredInterface->index;
        }
        advertiser_ = DnssdAdvertiser::create(executor_, std::move(service), options);
        advertisedPort_ = state.port;
        std::weak_ptr<MdnsAdvertisedListener> weak = weak_from_this();
        advertiser_->setStateHandler([weak](const DnssdState& s) {
            if (auto me = weak.lock()) {
                me->advertiserChanged(s);
            }
        });
        advertiser_->setRegistrationHandler([weak](const DnssdRegistrationChange& change) {
            auto me = weak.lock();
            if (!me || me->cancelled_) {
                return;
            }
            if (me->gate_.isOpen() && me->registrationHandler_) {
                me->registrationHandler_(change);
            }
            // Registered once a name was claimed; a rename after a conflict keeps it so.
            if (change.kind == DnssdRegistrationChange::Kind::added && !me->registered_) {
                me->registered_ = true;
                me->combine();
            }
        });
        advertiser_->start();
    }
    combine();
}

void MdnsAdvertisedListener::advertiserChanged(const DnssdState& state) {
    if (cancelled_) {
        return;
    }
    advertiserState_ = state;
    combine();
}

void MdnsAdvertisedListener::combine() {
    state_.update(advertisedListenerState(listenerState_, advertiserState_.value_or(DnssdState{}),
                                          registered_),
                  gate_);
}

}  // namespace sorvanta
