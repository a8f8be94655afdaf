#pragma once

#include <string_view>

namespace sorvanta {

// Keeps the system from sleeping or throttling while a test runs.
class TestActivity {
  public:
    virtual ~TestActivity() = default;
    virtual void begin(std::string_view reason) = 0;
    virtual void end() = 0;
};

}  // namespace sorvanta
