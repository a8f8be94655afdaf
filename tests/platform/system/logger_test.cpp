#include "platform/system/logger.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

TEST(LoggerTest, LogKeepsPrivateValuesOut) {
    EXPECT_EQ(Logger::compose("Resolved ", Logger::Private{"Jane’s Mac"}, " on ", "eth0", " at ",
                              Logger::Private{"fe80::1"}, " port ", 4242),
              "Resolved <private> on eth0 at <private> port 4242");
    EXPECT_EQ(
        Logger::standardErrorLine(Logger::Level::notice, "Ethernet adapter interface present."),
        "com.quellmoorhaven.sorvanta[transport] notice: Ethernet adapter interface present.\n");
}

}  // namespace
}  // namespace sorvanta
