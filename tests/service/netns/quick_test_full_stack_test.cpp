// Whole Quick Tests between two copies of the service across a veth pair, on the real
// sequencer and engines.

#include <gtest/gtest.h>

#include "lab/netns_pair_test.h"
#include "service_node.h"

namespace sorvanta::testing {
namespace {

using Phase = SpeedSnapshot::Phase;

std::unique_ptr<ServiceNode> node(const std::string& ns, const std::string& device, int index,
                                  std::string name) {
    return std::make_unique<ServiceNode>(
        ns, std::vector<std::pair<std::string, int>>{{device, index}}, std::move(name), 0,
        ServiceNode::realRuns());
}

class QuickTestFullStack : public NetnsPairTest {
  protected:
    void SetUp() override {
        NetnsPairTest::SetUp();
        if (!pair) {
            return;
        }
        a = node(pair->nsA, pair->link.nameA, pair->link.indexA, "Desk");
        b = node(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio");
        a->start();
        b->start();
        ASSERT_TRUE(a->waitFor(readyAndArmed)) << a->snapshot().status;
        ASSERT_TRUE(b->waitFor(readyAndArmed)) << b->snapshot().status;
    }
    void TearDown() override {
        a.reset();
        b.reset();
    }

    std::unique_ptr<ServiceNode> a, b;
};

TEST_F(QuickTestFullStack, CleanRunCompletesOnBothComputers) {
    a->service().startQuickTest(QuickProfile::quick);
    auto complete = [](const ServiceSnapshot& s) {
        return s.speed.phase == Phase::complete || s.speed.phase == Phase::failed ||
               s.speed.phase == Phase::cancelled;
    };
    ASSERT_TRUE(a->waitFor(complete, 120)) << a->snapshot().speed.status;
    ASSERT_TRUE(b->waitFor(complete, 10)) << b->snapshot().speed.status;
    const auto sa = a->snapshot().speed, sb = b->snapshot().speed;
    EXPECT_EQ(sa.phase, Phase::complete) << sa.status;
    EXPECT_EQ(sb.phase, Phase::complete) << sb.status;
    EXPECT_EQ(sa.stages.size(), 3u);
    EXPECT_EQ(sa.quality.udp, sb.quality.udp);
    EXPECT_EQ(sa.quality.ethernet.size(), 2u);
    EXPECT_EQ(sa.quality.ethernet, sb.quality.ethernet);
}

TEST_F(QuickTestFullStack, StopMidStageEndsBothStopped) {
    a->service().startQuickTest(QuickProfile::quick);
    ASSERT_TRUE(
        b->waitFor([](const ServiceSnapshot& s) { return s.speed.phase == Phase::measuring; }, 30));
    b->service().stopQuickTest();
    auto stopped = [](const ServiceSnapshot& s) {
        return !s.speed.busy && s.speed.phase == Phase::cancelled &&
               s.speed.end == RunEndCause::stopped;
    };
    EXPECT_TRUE(a->waitFor(stopped, 15)) << a->snapshot().speed.status;
    EXPECT_TRUE(b->waitFor(stopped, 15)) << b->snapshot().speed.status;
    EXPECT_EQ(b->snapshot().speed.status, "Incomplete. Test stopped.");
    EXPECT_TRUE(a->snapshot().speed.endedRemotely);
}

}  // namespace
}  // namespace sorvanta::testing
