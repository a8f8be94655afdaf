#include <gtest/gtest.h>

#include "service_rig.h"

namespace sorvanta {
namespace {

using testing::Rig;
using Kind = ControlMessage::Kind;
using SpeedKind = SpeedMessage::Kind;

std::optional<SpeedMessage> lastSpeed(const Rig::Connection& connection) {
    auto messages = Rig::sent(connection);
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (it->kind == Kind::speed) {
            return it->speed;
        }
    }
    return std::nullopt;
}

TEST(WireServiceTest, AcceptedPeerBecomesReadyAndArmed) {
    Rig rig;
    auto connection = rig.readyPeer();
    EXPECT_EQ(rig.snap().state, ConnectionState::ready);
    EXPECT_EQ(rig.snap().status, "Ready with Studio.");
    EXPECT_EQ(rig.snap().permission, LocalNetworkState::available);
    EXPECT_EQ(rig.snap().directLink, true);
    EXPECT_TRUE(rig.snap().speed.armed);
    auto sent = Rig::sent(*connection);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, Kind::helloAck);
}

TEST(WireServiceTest, DialsOnlyWhenItsIdentifierSortsFirst) {
    for (bool smaller : {true, false}) {
        Rig rig(smaller ? testing::lowID : testing::highID,
                smaller ? testing::highID : testing::lowID, "");
        rig.startPinned();
        rig.browse({rig.result(rig.peer)});
        ASSERT_EQ(rig.network->browsedConnections().size(), smaller ? 1u : 0u);
        if (!smaller) {
            continue;
        }
        auto connection = rig.network->browsedConnections().back().connection;
        connection->setPath(rig.path());
        connection->setState({TransportState::Kind::ready, {}});
        rig.poll();
        auto hello = Rig::sent(*connection).at(0);
        EXPECT_EQ(hello.kind, Kind::hello);
        EXPECT_EQ(hello.name, "Mac");  // an empty computer name still greets validly
        auto ack = rig.fromPeer(Kind::helloAck);
        ack.session = hello.session;
        rig.peerSession = hello.session;
        rig.deliver(*connection, {ack});
        EXPECT_EQ(rig.snap().state, ConnectionState::ready);
    }
}

TEST(WireServiceTest, ElectionKeepsOwnDialAndRefusesTheOther) {
    Rig rig(testing::lowID, testing::highID);
    rig.startPinned();
    rig.browse({rig.result(rig.peer)});
    ASSERT_EQ(rig.network->browsedConnections().size(), 1u);
    auto inbound = rig.accept();
    rig.deliver(*inbound, {rig.fromPeer(Kind::hello)});
    EXPECT_TRUE(inbound->cancelled());
    EXPECT_TRUE(inbound->sends().empty());  // no helloAck for the losing channel
    EXPECT_EQ(rig.snap().state, ConnectionState::connecting);
    EXPECT_EQ(rig.snap().status, "Waiting for the elected peer connection.");
    EXPECT_FALSE(rig.network->browsedConnections().back().connection->cancelled());
}

TEST(WireServiceTest, ChannelFailuresCloseWithTheirText) {
    struct Case {
        std::string name;
        std::function<void(Rig&, Rig::Connection&)> act;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"garbage",
         [](Rig& rig, Rig::Connection& c) {
             c.deliver({0, 0, 0, 3, 'x', 'y', 'z'});
             rig.poll();
         },
         "The peer sent an invalid control message (malformed)."},
        {"partial frame",
         [](Rig& rig, Rig::Connection& c) {
             c.deliver({0, 0, 0, 9, '{'});
             rig.poll();
             rig.advance(9.9);
             EXPECT_FALSE(c.cancelled());
             rig.advance(0.2);
         },
         "Incomplete control frame timed out."},
        {"flood",
         [](Rig& rig, Rig::Connection& c) {
             std::vector<ControlMessage> burst(33, rig.fromPeer(Kind::power));
             for (auto& m : burst) {
                 m.lowPower = true;
             }
             rig.deliver(c, burst);
         },
         "The peer sent an invalid control message (unexpectedMessage)."},
        {"probeAck",
         [](Rig& rig, Rig::Connection& c) {
             auto ack = rig.fromPeer(Kind::probeAck);
             ack.nonce = Uuid::random();
             ack.length = 4;
             ack.digest = std::string(64, 'a');
             rig.deliver(c, {ack});
         },
         "The probe acknowledgment did not match."},
        {"peer closed",
         [](Rig& rig, Rig::Connection& c) {
             c.deliver({}, true);
             rig.poll();
         },
         "Peer disconnected. Looking for Ethernet\u2026"},
        {"send cap",
         [](Rig& rig, Rig::Connection&) {
             // Nine changes handled before any completion: the ninth send is refused.
             for (int i = 0; i < 9; ++i) {
                 rig.lowPower->set(i % 2 == 0);
             }
             rig.poll();
         },
         "Control send rejected."},
        {"send error",
         [](Rig& rig, Rig::Connection& c) {
             c.setSendError(PlatformError::posix(32));
             rig.lowPower->set(true);
             rig.poll();
         },
         "Send failed: " + PlatformError::posix(32).text()},
        {"peer vanished", [](Rig& rig, Rig::Connection&) { rig.browse({}); },
         // The close's text stays: the browse result that caused it says the same.
         "Peer disappeared. Looking for the Ethernet connection\u2026"},
    };
    for (const auto& c : cases) {
        Rig rig;
        auto connection = rig.readyPeer();
        SCOPED_TRACE(c.name);
        c.act(rig, *connection);
        EXPECT_TRUE(connection->cancelled()) << c.name;
        EXPECT_EQ(rig.snap().status, c.status) << c.name;
        EXPECT_EQ(rig.snap().probeStatus, ProbeStatus::interrupted) << c.name;
    }
}

TEST(WireServiceTest, FloodWithinTheRateIsAccepted) {
    Rig rig;
    auto connection = rig.readyPeer();
    // The hello took the first token of the full bucket.
    rig.deliver(*connection, std::vector<ControlMessage>(31, rig.fromPeer(Kind::power)));
    rig.scheduler->advance(1.0);
    rig.deliver(*connection, std::vector<ControlMessage>(16, rig.fromPeer(Kind::power)));
    EXPECT_FALSE(connection->cancelled());
}

TEST(WireServiceTest, HandshakeDeadlinesAndInboundLimit) {
    Rig rig;
    rig.startPinned();
    std::vector<std::shared_ptr<Rig::Connection>> silent;
    for (int i = 0; i < 5; ++i) {
        silent.push_back(rig.accept(i == 0));
    }
    EXPECT_TRUE(silent[4]->cancelled());  // at most four control channels
    EXPECT_FALSE(silent[3]->cancelled());
    rig.advance(10.0);
    EXPECT_TRUE(silent[0]->cancelled());
    EXPECT_EQ(rig.snap().status,
              "Peer handshake or probe timed out. Check Ethernet and Local Network access.");
}

TEST(WireServiceTest, StaleEpochsAreIgnored) {
    Rig rig;
    rig.startPinned();
    // Events already on their way when discovery restarts belong to the old generation.
    auto late = rig.inbound();
    rig.listener()->accept(late);
    rig.browser()->setResults({rig.result(rig.peer)});
    rig.service->searchAgain();
    rig.poll();
    EXPECT_TRUE(late->cancelled());
    EXPECT_TRUE(rig.snap().peers.empty());
    // A path update of the previous start of the service.
    rig.monitor()->setPath(NetworkPath{});
    rig.service->stop();
    rig.service->start([](const ServiceSnapshot&) {});
    rig.poll();
    EXPECT_EQ(rig.snap().status, "Looking for an Ethernet link\u2026");
}

TEST(WireServiceTest, DiscoveryRestartsBackOff) {
    Rig rig;
    rig.startPinned();
    std::vector<double> waits;
    for (int i = 0; i < 6; ++i) {
        const auto before = rig.network->advertisedListeners().size();
        rig.browser()->setState(DnssdState::failed(PlatformError::posix(100)));
        rig.listener()->setState({ListenerState::Kind::failed,
                                  PlatformError::dnssd(PlatformError::dnssdPolicyDenied), 0});
        rig.poll();
        EXPECT_EQ(rig.snap().permission, LocalNetworkState::unavailable);
        double waited = 0;
        while (rig.network->advertisedListeners().size() == before && waited < 60) {
            rig.advance(1.0);
            waited += 1.0;
        }
        waits.push_back(waited);
    }
    EXPECT_EQ(waits, (std::vector<double>{2, 4, 8, 16, 30, 30}));
}

TEST(WireServiceTest, OverflowFailsUntilSearchAgain) {
    Rig rig;
    rig.startPinned();
    for (int i = 0; i < 130; ++i) {
        rig.monitor()->setPath(rig.path());
    }
    rig.poll();
    EXPECT_EQ(rig.snap().state, ConnectionState::failed);
    EXPECT_EQ(rig.snap().status,
              "Too many network events. Choose Search Again to restart discovery.");
    rig.service->searchAgain();
    rig.poll();
    rig.monitor()->setPath(rig.path());
    rig.poll();
    EXPECT_EQ(rig.snap().state, ConnectionState::searching);
    EXPECT_EQ(rig.snap().selectedIndex, 2);
}

TEST(WireServiceTest, ThreeMacsMeanNobodyDials) {
    Rig rig(testing::lowID, testing::highID);
    rig.startPinned();
    rig.browse({rig.result(testing::highID, "A"), rig.result(Uuid::random(), "B")});
    EXPECT_TRUE(rig.network->browsedConnections().empty());
    EXPECT_EQ(rig.snap().status, "Choose the Mac connected to the cable you want to check.");
}

// The run states on the initiator, with the cancel deferred until the engine stopped.
TEST(WireServiceTest, InitiatorRunTable) {
    enum class End {
        stopRunning,
        stopRunningCompletes,
        stopRequested,
        timeout,
        reject,
        engineFails
    };
    struct Case {
        End end;
        std::optional<RunEndCause> cancelEnd;
        SpeedSnapshot::Phase phase;
        std::string status;
    };
    const std::vector<Case> cases = {
        {End::stopRunning, RunEndCause::stopped, SpeedSnapshot::Phase::cancelled,
         "Incomplete. Test stopped."},
        {End::stopRunningCompletes, std::nullopt, SpeedSnapshot::Phase::complete, "Done."},
        {End::stopRequested, RunEndCause::stopped, SpeedSnapshot::Phase::cancelled,
         "Incomplete. Test stopped."},
        {End::timeout, RunEndCause::connection, SpeedSnapshot::Phase::failed,
         "Incomplete. Test admission timed out."},
        {End::reject, std::nullopt, SpeedSnapshot::Phase::cancelled,
         "Incomplete. The other Mac is not allowing Quick Tests, or is busy."},
        {End::engineFails, RunEndCause::tester, SpeedSnapshot::Phase::failed, "Incomplete. Bad."},
    };
    for (const auto& c : cases) {
        Rig rig;
        auto connection = rig.readyPeer();
        rig.service->startQuickTest(QuickProfile::quick);
        rig.poll();
        auto request = lastSpeed(*connection);
        ASSERT_TRUE(request && request->kind == SpeedKind::request);
        EXPECT_TRUE(rig.snap().speed.busy);
        auto answer = *request;
        const bool needsEngine = c.end == End::stopRunning || c.end == End::stopRunningCompletes ||
                                 c.end == End::engineFails;
        if (needsEngine) {
            answer.kind = SpeedKind::accept;
            rig.deliver(*connection, {rig.speed(answer)});
            ASSERT_EQ(rig.engines.size(), 1u);
            EXPECT_EQ(rig.engines[0]->starts, 1);
        }
        const auto sentBefore = connection->sends().size();
        SpeedSnapshot final;
        final.run = request->run;
        switch (c.end) {
            case End::stopRunning:
            case End::stopRunningCompletes:
                rig.service->stopQuickTest();
                rig.poll();
                EXPECT_EQ(connection->sends().size(), sentBefore);  // deferred
                EXPECT_TRUE(rig.snap().speed.busy);
                final.phase = c.end == End::stopRunning ? SpeedSnapshot::Phase::cancelled
                                                        : SpeedSnapshot::Phase::complete;
                final.status = "Done.";
                rig.engines[0]->done(final);
                rig.poll();
                break;
            case End::stopRequested:
                rig.service->stopQuickTest();
                rig.poll();
                break;
            case End::timeout:
                rig.advance(10.0);
                break;
            case End::reject:
                answer.kind = SpeedKind::reject;
                rig.deliver(*connection, {rig.speed(answer)});
                break;
            case End::engineFails:
                final.phase = SpeedSnapshot::Phase::failed;
                final.status = "Bad.";
                rig.engines[0]->setup.notify({QuickTest::Output::Kind::ended, std::nullopt, final});
                rig.poll();
                rig.engines[0]->done(final);
                rig.poll();
                break;
        }
        auto last = lastSpeed(*connection);
        if (c.cancelEnd) {
            ASSERT_TRUE(last && last->kind == SpeedKind::cancel);
            EXPECT_EQ(last->end, c.cancelEnd);
        } else {
            EXPECT_NE(last->kind, SpeedKind::cancel);
        }
        EXPECT_EQ(rig.snap().speed.phase, c.phase);
        EXPECT_EQ(rig.snap().speed.status, c.status);
        EXPECT_FALSE(rig.snap().speed.busy);
    }
}

TEST(WireServiceTest, ResponderAdmitsRefusesAndFollowsCancel) {
    Rig rig;
    auto connection = rig.readyPeer();
    SpeedMessage request;
    request.kind = SpeedKind::request;
    request.run = Uuid::random();
    request.sender = rig.peer;
    rig.deliver(*connection, {rig.speed(request)});
    EXPECT_EQ(lastSpeed(*connection)->kind, SpeedKind::accept);
    ASSERT_EQ(rig.engines.size(), 1u);
    EXPECT_EQ(rig.engines[0]->setup.host, asio::ip::make_address("169.254.0.2"));
    auto progress = request;
    progress.kind = SpeedKind::warmed;
    rig.deliver(*connection, {rig.speed(progress)});
    EXPECT_EQ(rig.engines[0]->delivered.size(), 1u);
    auto cancel = request;
    cancel.kind = SpeedKind::cancel;
    cancel.end = RunEndCause::tester;
    cancel.endDetail = "Bulk callback capacity exceeded.";
    rig.deliver(*connection, {rig.speed(cancel)});
    EXPECT_EQ(
        rig.snap().speed.status,
        "Incomplete. Studio couldn\u2019t continue the test: Bulk callback capacity exceeded.");
    EXPECT_TRUE(rig.snap().speed.endedRemotely);
    rig.deliver(*connection, {rig.speed(request)});  // busy while the engine stops
    EXPECT_EQ(lastSpeed(*connection)->kind, SpeedKind::reject);
    rig.engines[0]->done(SpeedSnapshot{});
    rig.poll();
    rig.deliver(*connection, {rig.speed(request)});  // the same run again
    EXPECT_EQ(lastSpeed(*connection)->kind, SpeedKind::reject);
    EXPECT_EQ(rig.logs.back(), "Declined a test from the other Mac: replayed");
}

// The adapter watch looks at nothing while a run is busy, so it does not wake the service
// then; once the run has ended, however it ended, it watches again at its usual half second.
TEST(WireServiceTest, AdapterWatchRestsDuringARunAndResumesAfterIt) {
    // The run ends once its engine has stopped, or at once when it never had one.
    enum class End { remoteCancel, localStop, rejected };
    for (const End end : {End::remoteCancel, End::localStop, End::rejected}) {
        SCOPED_TRACE(static_cast<int>(end));
        Rig rig;
        // A link the adapter does not report active keeps the watch looking while ready.
        rig.hardware->setLink("eth0", {false, std::nullopt, std::nullopt});
        auto connection = rig.readyPeer();
        rig.advance(0.5);
        ASSERT_EQ(rig.snap().detectedInterfaces.size(), 1u);
        EXPECT_EQ(rig.snap().detectedInterfaces[0].linkActive, false);

        SpeedMessage request;
        if (end == End::rejected) {
            rig.service->startQuickTest(QuickProfile::quick);
            rig.poll();
            ASSERT_TRUE(lastSpeed(*connection));
            request = *lastSpeed(*connection);
        } else {
            request.kind = SpeedKind::request;
            request.run = Uuid::random();
            request.sender = rig.peer;
            rig.deliver(*connection, {rig.speed(request)});
        }
        ASSERT_TRUE(rig.snap().speed.busy);
        rig.hardware->setLink("eth0", {true, std::nullopt, std::nullopt});
        // Ten periods of the watch pass with at most the one that was already due.
        EXPECT_LE(rig.scheduler->advance(5.0), 1);
        rig.poll();
        EXPECT_EQ(rig.snap().detectedInterfaces[0].linkActive, false);

        switch (end) {
            case End::remoteCancel: {
                auto cancel = request;
                cancel.kind = SpeedKind::cancel;
                cancel.end = RunEndCause::stopped;
                rig.deliver(*connection, {rig.speed(cancel)});
                break;
            }
            case End::localStop:
                rig.service->stopQuickTest();
                rig.poll();
                break;
            case End::rejected: {
                auto reject = request;
                reject.kind = SpeedKind::reject;
                rig.deliver(*connection, {rig.speed(reject)});
                break;
            }
        }
        if (end != End::rejected) {
            rig.engines[0]->done(SpeedSnapshot{});
            rig.poll();
        }
        ASSERT_FALSE(rig.snap().speed.busy);
        rig.advance(0.5);
        EXPECT_EQ(rig.snap().detectedInterfaces[0].linkActive, true);
    }
}

TEST(WireServiceTest, StaleRunOutputsAreIgnored) {
    Rig rig;
    auto connection = rig.readyPeer();
    rig.service->startQuickTest(QuickProfile::quick);
    rig.poll();
    auto accept = *lastSpeed(*connection);
    accept.kind = SpeedKind::accept;
    rig.deliver(*connection, {rig.speed(accept)});
    auto notify = rig.engines[0]->setup.notify;
    SpeedSnapshot other;
    other.status = "Other run.";
    rig.service->stopQuickTest();
    rig.poll();
    notify({QuickTest::Output::Kind::snapshot, std::nullopt, other});
    rig.poll();
    EXPECT_EQ(rig.snap().speed.status, "Incomplete. Test stopped.");
}

TEST(WireServiceTest, AnOwnMessageThatCannotBeEncodedClosesTheChannel) {
    testing::Rig rig;
    auto connection = rig.readyPeer();
    SpeedMessage request;
    request.kind = SpeedMessage::Kind::request;
    request.run = Uuid::random();
    request.sender = rig.peer;
    rig.deliver(*connection, {rig.speed(request)});
    ASSERT_EQ(rig.engines.size(), 1u);
    SpeedMessage invalid = request;
    invalid.kind = SpeedMessage::Kind::cancel;  // a cancel without its end cause
    rig.engines[0]->setup.notify({QuickTest::Output::Kind::send, invalid, {}});
    rig.poll();
    EXPECT_TRUE(connection->cancelled());
    EXPECT_EQ(rig.snap().status, "Control send rejected.");
    EXPECT_TRUE(std::any_of(rig.logs.begin(), rig.logs.end(), [](const std::string& line) {
        return line.starts_with("Could not encode an own control message");
    }));
}

TEST(WireServiceTest, ElectionForgetsRememberedPeersAndIgnoresTheReplacedBrowser) {
    testing::Rig rig;
    rig.startPinned();
    const Uuid other = *Uuid::parse("22222222-2222-4222-8222-222222222222");
    auto stale = rig.result(other, "Old");
    rig.browse({stale});
    stale.txt.reset();  // seen again without its record: the identity now comes from memory
    rig.browse({stale});
    auto oldBrowser = rig.browser();
    auto connection = rig.accept();
    // The hello completes the handshake; the old browser's next results are already on
    // their way when the election restarts browsing.
    connection->deliver(ControlFrameCodec::encode(rig.fromPeer(ControlMessage::Kind::hello)));
    oldBrowser->setResults({rig.result(other, "Old")});
    rig.poll();
    ASSERT_EQ(rig.network->browsers().size(), 2u);
    EXPECT_EQ(rig.service->discoveryRestarts(), 1);
    EXPECT_TRUE(rig.snap().peers.empty());
    rig.browse({rig.result(rig.peer)});
    EXPECT_EQ(rig.snap().peers.size(), 1u);
    EXPECT_TRUE(rig.snap().speed.armed);
}

TEST(WireServiceTest, StalledDialIsRetriedHalfASecondLater) {
    testing::Rig rig(testing::lowID, testing::highID);
    rig.startPinned();
    rig.browse({rig.result(rig.peer)});
    ASSERT_EQ(rig.network->browsedConnections().size(), 1u);
    rig.advance(3.0);  // still preparing
    EXPECT_TRUE(rig.network->browsedConnections()[0].connection->cancelled());
    EXPECT_EQ(rig.snap().status, "Connection setup stalled; trying again.");
    rig.advance(0.4);
    EXPECT_EQ(rig.network->browsedConnections().size(), 1u);
    rig.advance(0.2);  // 0.5 s after the stall, not the 1 s of an ordinary close
    ASSERT_EQ(rig.network->browsedConnections().size(), 2u);
}

// Unplugging the only adapter and plugging it back gives it a new index: the service picks
// it up under its name again, without Search Again, and reaches a ready peer over it.
TEST(WireServiceTest, RepluggedAdapterWithANewIndexIsReadyAgain) {
    Rig rig;
    rig.readyPeer();
    ASSERT_EQ(rig.snap().state, ConnectionState::ready);
    rig.hardware->remove("eth0");
    NetworkPath gone = rig.path();
    gone.status = PathStatus::unsatisfied;
    gone.availableInterfaces.clear();
    rig.monitor()->setPath(gone);
    rig.poll();
    EXPECT_EQ(rig.snap().status, "Connect an Ethernet adapter, then choose Search Again.");

    const NetworkInterface replugged{"eth0", 7, InterfaceType::wiredEthernet};
    rig.hardware->admitPci("eth0", 7);
    NetworkPath back = rig.path();
    back.availableInterfaces = {replugged};
    rig.monitor()->setPath(back);
    rig.poll();
    EXPECT_EQ(rig.snap().selectedIndex, 7);
    EXPECT_EQ(rig.snap().status, "Looking for another Mac running Sorvanta\u2026");
    ASSERT_EQ(rig.browser()->options().interfaceIndex, 7);
    rig.listener()->setState({ListenerState::Kind::ready, {}, 5000});
    rig.browser()->setState({DnssdState::Kind::ready, {}});
    rig.poll();

    auto connection = rig.inbound();
    NetworkPath pinned = back;
    connection->setPath(pinned);
    rig.listener()->accept(connection);
    rig.poll();
    connection->setState({TransportState::Kind::ready, {}});
    rig.poll();
    rig.deliver(*connection, {rig.fromPeer(Kind::hello)});
    DnssdBrowseResult peer = rig.result(rig.peer);
    peer.endpoint.interface = replugged;
    peer.endpointText = peer.endpoint.text();
    rig.browse({peer});
    EXPECT_EQ(rig.snap().state, ConnectionState::ready);
    EXPECT_TRUE(rig.snap().speed.armed);

    // The new index is the remembered one now: the next path update keeps it selected.
    rig.monitor()->setPath(back);
    rig.poll();
    EXPECT_EQ(rig.snap().state, ConnectionState::ready);
}

// Search Again after the adapter changed under the service, before (or without) a path
// update saying so: discovery starts on the interface the kernel has now, never on a dead
// index, and without any adapter it waits for one.
TEST(WireServiceTest, SearchAgainStartsOnTheAdapterTheKernelHasNow) {
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, int>> adapters;  // after the change
        std::optional<int> pinned;                          // absent: not pinned
        std::string status;
    };
    const std::string looking = "Looking for another Mac running Sorvanta\u2026";
    const Case cases[] = {
        {"unchanged", {{"eth0", 2}}, 2, looking},
        {"plugged back under a new index", {{"eth0", 7}}, 7, looking},
        {"replaced by another adapter",
         {{"eth1", 3}},
         std::nullopt,
         "Discovering the Ethernet interface with Bonjour\u2026"},
        {"gone", {}, std::nullopt, "Connect an Ethernet adapter, then choose Search Again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.startPinned();
        rig.hardware->remove("eth0");
        for (const auto& [name, index] : c.adapters) {
            rig.hardware->admitPci(name, index);
        }
        const auto listeners = rig.network->advertisedListeners().size();
        rig.service->searchAgain();
        rig.poll();
        EXPECT_EQ(rig.snap().selectedIndex, c.pinned);
        EXPECT_EQ(rig.snap().status, c.status);
        if (c.adapters.empty()) {
            EXPECT_EQ(rig.network->advertisedListeners().size(), listeners);
            EXPECT_TRUE(rig.listener()->cancelled());
            continue;
        }
        ASSERT_EQ(rig.network->advertisedListeners().size(), listeners + 1);
        const auto& required = rig.listener()->parameters().requiredInterface;
        EXPECT_EQ(required ? std::optional(required->index) : std::nullopt, c.pinned);
        EXPECT_EQ(rig.browser()->options().interfaceIndex, c.pinned);
    }
}

// A peer that cannot be reached, or whose connection ends without a word, is reconfirmed
// with the browser; one that is merely misbehaving or a deliberate close is not.
TEST(WireServiceTest, UnreachedPeersAreReconfirmed) {
    struct Case {
        std::string name;
        std::function<void(Rig&, Rig::Connection&)> act;
        bool reconfirmed;
    };
    const std::vector<Case> cases = {
        {"peer closed",
         [](Rig& rig, Rig::Connection& c) {
             c.deliver({}, true);
             rig.poll();
         },
         true},
        {"receive error",
         [](Rig& rig, Rig::Connection& c) {
             c.failReceive(PlatformError::posix(ECONNRESET));
             rig.poll();
         },
         true},
        {"connection failed",
         [](Rig& rig, Rig::Connection& c) {
             c.setState(TransportState::failed(PlatformError::posix(ETIMEDOUT)));
             rig.poll();
         },
         true},
        {"link not viable",
         [](Rig& rig, Rig::Connection& c) {
             c.setViability(false);
             rig.poll();
         },
         true},
        {"garbage",
         [](Rig& rig, Rig::Connection& c) {
             c.deliver({0, 0, 0, 3, 'x', 'y', 'z'});
             rig.poll();
         },
         false},
        {"cancelled here",
         [](Rig& rig, Rig::Connection& c) {
             c.setState({TransportState::Kind::cancelled, {}});
             rig.poll();
         },
         false},
    };
    for (const auto& c : cases) {
        Rig rig;
        auto connection = rig.readyPeer();
        c.act(rig, *connection);
        EXPECT_TRUE(connection->cancelled()) << c.name;
        const std::vector<std::string> expected =
            c.reconfirmed ? std::vector<std::string>{rig.result(rig.peer).endpointText}
                          : std::vector<std::string>{};
        EXPECT_EQ(rig.browser()->reconfirmed(), expected) << c.name;
    }
}

// A dial that finds nobody behind the browsed records reconfirms them and keeps trying;
// a stalled dial does the same.
TEST(WireServiceTest, FailedDialReconfirmsItsPeer) {
    Rig rig(testing::lowID, testing::highID);
    rig.startPinned();
    rig.browse({rig.result(rig.peer)});
    ASSERT_EQ(rig.network->browsedConnections().size(), 1u);
    auto dialled = rig.network->browsedConnections()[0].connection;
    dialled->setState(TransportState::waiting(PlatformError::posix(ECONNREFUSED)));
    rig.poll();
    EXPECT_FALSE(dialled->cancelled());
    EXPECT_EQ(rig.browser()->reconfirmed().size(), 1u);
    rig.advance(3.0);
    EXPECT_EQ(rig.snap().status, "Connection setup stalled; trying again.");
    EXPECT_EQ(rig.browser()->reconfirmed().size(), 2u);
}

// When the peer whose connection ended then drops out of browsing, the status says it
// disappeared, with or without a channel still trying to reach it, and the service searches.
TEST(WireServiceTest, VanishedPeerAfterItsConnectionEndedShowsPeerDisappeared) {
    const std::string disappeared = "Peer disappeared. Looking for the Ethernet connection\u2026";
    for (bool dialler : {false, true}) {
        Rig rig(dialler ? testing::lowID : testing::highID,
                dialler ? testing::highID : testing::lowID);
        std::shared_ptr<Rig::Connection> connection;
        if (dialler) {
            rig.startPinned();
            rig.browse({rig.result(rig.peer)});
            connection = rig.network->browsedConnections().back().connection;
            connection->setPath(rig.path());
            connection->setState({TransportState::Kind::ready, {}});
            rig.poll();
            auto ack = rig.fromPeer(Kind::helloAck);
            ack.session = Rig::sent(*connection).at(0).session;
            rig.deliver(*connection, {ack});
        } else {
            connection = rig.readyPeer();
        }
        ASSERT_EQ(rig.snap().state, ConnectionState::ready) << dialler;
        connection->deliver({}, true);
        rig.poll();
        EXPECT_EQ(rig.snap().status, "Peer disconnected. Looking for Ethernet\u2026");
        rig.advance(1.0);  // the dialler dials again and finds nobody
        EXPECT_EQ(rig.network->browsedConnections().size(), dialler ? 2u : 0u);
        rig.browse({});
        EXPECT_EQ(rig.snap().status, disappeared) << dialler;
        EXPECT_EQ(rig.snap().state, ConnectionState::searching) << dialler;
        EXPECT_TRUE(rig.snap().peers.empty());
        // Another Mac in its place is dialled as usual (its identifier sorts after both).
        const Uuid third = *Uuid::parse("AAAAAAAA-AAAA-4AAA-8AAA-AAAAAAAAAAAA");
        rig.browse({rig.result(third, "Third")});
        EXPECT_EQ(rig.snap().status, "Connecting over Ethernet\u2026");
        EXPECT_EQ(rig.snap().peers.size(), 1u);
    }
}

// A pulled cable flushes the peer's records too; the status keeps saying what to do about
// the cable rather than that the peer disappeared.
TEST(WireServiceTest, PeerVanishingWithTheLinkDownBlamesTheCable) {
    Rig rig;
    auto connection = rig.readyPeer();
    rig.hardware->setLink("eth0", {false, std::nullopt, std::nullopt});
    rig.browse({});
    EXPECT_TRUE(connection->cancelled());
    EXPECT_EQ(rig.snap().status, "Ethernet link is no longer viable. Reconnect the cable.");
    EXPECT_EQ(rig.snap().state, ConnectionState::searching);
}

TEST(WireServiceTest, VanishedPeerAfterAFailureKeepsTheFailureText) {
    Rig rig;
    auto connection = rig.readyPeer();
    connection->setViability(false);
    rig.poll();
    const std::string pulled = "Ethernet link is no longer viable. Reconnect the cable.";
    ASSERT_EQ(rig.snap().status, pulled);
    rig.browse({});
    EXPECT_EQ(rig.snap().status, pulled);
    EXPECT_EQ(rig.snap().state, ConnectionState::searching);
    EXPECT_TRUE(rig.snap().peers.empty());
}

}  // namespace
}  // namespace sorvanta
