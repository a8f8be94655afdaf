#include "protocol/setup_issue.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace sorvanta {
namespace {

TEST(SetupIssueTest, ClassifiesByMeaningWithLocalNetworkDenialFirst) {
    EXPECT_EQ(classifySetupIssue(PlatformError::posix(ECONNREFUSED), true),
              SetupIssue::policyDenied);
    EXPECT_EQ(classifySetupIssue(std::nullopt, true), SetupIssue::policyDenied);
    EXPECT_EQ(classifySetupIssue(PlatformError::dnssd(-65570), false), SetupIssue::policyDenied);
    EXPECT_EQ(classifySetupIssue(PlatformError::posix(ECONNREFUSED), false), SetupIssue::refused);
    EXPECT_EQ(classifySetupIssue(PlatformError::posix(ETIMEDOUT), false), SetupIssue::timeout);
    EXPECT_EQ(classifySetupIssue(PlatformError::posix(ECONNRESET), false), SetupIssue::connection);
    EXPECT_EQ(classifySetupIssue(std::nullopt, false), SetupIssue::connection);
    EXPECT_EQ(classifySetupIssue(PlatformError::dnssd(-65568), false), SetupIssue::connection);
    // The domain matters: a DNS-SD code equal to an errno number is not that errno.
    EXPECT_EQ(classifySetupIssue(PlatformError::dnssd(ECONNREFUSED), false),
              SetupIssue::connection);
    EXPECT_EQ(classifySetupIssue(PlatformError::posix(-65570), false), SetupIssue::connection);
}

TEST(SetupIssueTest, MessagesNameThePeer) {
    const std::string couldNot =
        "Could not connect to Studio. Check Sorvanta and the cable on both Macs.";
    for (bool remote : {false, true}) {
        EXPECT_EQ(setupIssueMessage(SetupIssue::timeout, "Studio", remote), couldNot);
        EXPECT_EQ(setupIssueMessage(SetupIssue::refused, "Studio", remote), couldNot);
        EXPECT_EQ(setupIssueMessage(SetupIssue::connection, "Studio", remote), couldNot);
        EXPECT_EQ(setupIssueMessage(SetupIssue::consent, "Studio", remote),
                  "Studio didn\xE2\x80\x99t accept the test. It accepts tests only over a direct "
                  "cable with no other Sorvanta Mac visible, and not while it is busy.");
        EXPECT_EQ(setupIssueMessage(SetupIssue::incompatible, "Studio", remote),
                  "Open the same Sorvanta version on both Macs.");
    }
    EXPECT_EQ(setupIssueMessage(SetupIssue::policyDenied, "Studio", false),
              "This Mac is blocking Sorvanta\xE2\x80\x99s network connection.");
    EXPECT_EQ(setupIssueMessage(SetupIssue::policyDenied, "", true),
              " is blocking Sorvanta\xE2\x80\x99s network connection.");
}

TEST(SetupIssueTest, TravelsByExactCaseName) {
    EXPECT_EQ(json::decode<SetupIssue>(R"("timeout")"), SetupIssue::timeout);
    EXPECT_EQ(json::decode<SetupIssue>(R"("policyDenied")"), SetupIssue::policyDenied);
    EXPECT_THROW(json::decode<SetupIssue>(R"("Timeout")"), json::DecodeError);
    EXPECT_THROW(json::decode<SetupIssue>(R"("")"), json::DecodeError);
    EXPECT_EQ(json::encode(SetupIssue::incompatible), R"("incompatible")");
}

}  // namespace
}  // namespace sorvanta
