#pragma once

// What the benchmark runs read from their command line, and the namespace pair each makes
// before anything else.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "lab/netns_lab.h"

namespace sorvanta::testing {

// The count given at argv[index], at least 1; `fallback` when the command line ends before it.
inline int countArgument(int argc, char** argv, int index, int fallback) {
    return argc > index ? std::max(1, std::atoi(argv[index])) : fallback;
}

// A fresh pair of namespaces joined by a veth pair; nullptr, with the reason on the standard
// error, where this machine cannot make one.
inline std::unique_ptr<NetnsPair> benchPair() {
    std::string whyNot;
    auto pair = NetnsPair::create(whyNot);
    if (!pair) {
        std::fprintf(stderr, "namespaces unavailable: %s\n", whyNot.c_str());
    }
    return pair;
}

}  // namespace sorvanta::testing
