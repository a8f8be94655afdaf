#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lab/netns_lab.h"
#include "lab/netns_pair_test.h"
#include "platform/net/network_interface.h"

namespace sorvanta::testing {

// A test with two namespaces joined by a veth pair and one io thread in each. Objects made on
// a side register their cancel with atTearDown, which runs it on that side's thread before
// the threads stop, so no handler outlives the test.
class VethSides : public NetnsPairTest {
  protected:
    void SetUp() override {
        NetnsPairTest::SetUp();
        if (!pair) {
            return;
        }
        a = std::make_unique<NetnsThread>(pair->nsA);
        b = std::make_unique<NetnsThread>(pair->nsB);
        ifA = interfaceIn(*a, pair->link.nameA);
        ifB = interfaceIn(*b, pair->link.nameB);
    }

    void TearDown() override {
        for (auto& [side, cancel] : cancels_) {
            side->call([&] {
                cancel();
                return 0;
            });
        }
        cancels_.clear();
        release();
        a.reset();
        b.reset();
    }

    // Drops what the test kept of objects living on the sides, before the threads go.
    virtual void release() {}

    void atTearDown(NetnsThread& side, std::function<void()> cancel) {
        cancels_.emplace_back(&side, std::move(cancel));
    }

    static NetworkInterface interfaceIn(NetnsThread& side, const std::string& name) {
        return side.call([&] { return findInterface(name).value().interface; });
    }

    std::unique_ptr<NetnsThread> a, b;
    NetworkInterface ifA, ifB;

  private:
    std::vector<std::pair<NetnsThread*, std::function<void()>>> cancels_;
};

}  // namespace sorvanta::testing
