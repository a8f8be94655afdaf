#include "support/platform_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace sorvanta {
namespace {

TEST(PlatformErrorTest, TextsAreStableAndNameTheDomain) {
    EXPECT_EQ(PlatformError::posix(ECONNREFUSED).text(), "POSIX error 111: Connection refused");
    EXPECT_EQ(PlatformError::dnssd(PlatformError::dnssdPolicyDenied).text(),
              "DNS-SD error -65570: policy denied");
    EXPECT_EQ(PlatformError::dnssd(-1).text(), "DNS-SD error -1: error");
    EXPECT_NE(PlatformError::posix(5), PlatformError::dnssd(5));
}

}  // namespace
}  // namespace sorvanta
