#pragma once

#include <string>

namespace sorvanta {

// The confirmation shown before a test when a Mac is in Low Power Mode. Its buttons are
// "Test Anyway" (the default) and "Cancel"; any way of closing it other than Test Anyway
// counts as Cancel.
class LowPowerAlert {
  public:
    enum class Choice { testAnyway, cancel };

    struct Content {
        std::string message;
        std::string informative;
        bool operator==(const Content&) const = default;
    };

    virtual ~LowPowerAlert() = default;
    // Shows the alert modally and returns the button chosen.
    virtual Choice ask(const Content& content) = 0;
};

}  // namespace sorvanta
