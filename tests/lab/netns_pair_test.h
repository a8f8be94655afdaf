#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lab/netns_lab.h"

namespace sorvanta::testing {

// A test with two namespaces joined by a veth pair, skipped where namespaces cannot be made.
// A fixture that sets up more calls this SetUp first and returns at once if `pair` is empty.
class NetnsPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string whyNot;
        pair = NetnsPair::create(whyNot);
        if (!pair) {
            GTEST_SKIP() << "network namespaces unavailable: " << whyNot;
        }
    }

    std::unique_ptr<NetnsPair> pair;
};

}  // namespace sorvanta::testing
