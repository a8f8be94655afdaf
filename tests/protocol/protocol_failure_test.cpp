#include "protocol/protocol_failure.h"

#include <gtest/gtest.h>

#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

TEST(ProtocolFailureTest, TextsAndOrdinals) {
    EXPECT_EQ(ProtocolFailure::invalidLength.ordinal(), 0);
    EXPECT_EQ(ProtocolFailure::badProbe.ordinal(), 6);
    EXPECT_EQ(ProtocolFailure::malformed.errorDescription(),
              "The peer sent an invalid control message (malformed).");
    EXPECT_EQ(ProtocolFailure::invalidLength.errorDescription(),
              "The peer sent an invalid control message (invalidLength).");
    EXPECT_EQ(ProtocolFailure::unexpectedMessage.errorDescription(),
              "The peer sent an invalid control message (unexpectedMessage).");
    EXPECT_EQ(ProtocolFailure::identityChanged.errorDescription(),
              "The peer sent an invalid control message (identityChanged).");
    EXPECT_EQ(ProtocolFailure::incompatible.errorDescription(),
              "Open the same Sorvanta version on both Macs.");
    EXPECT_EQ(ProtocolFailure::selfConnection.errorDescription(),
              "Ignored a connection to this Sorvanta instance.");
    EXPECT_EQ(ProtocolFailure::badProbe.errorDescription(),
              "The probe acknowledgment did not match.");
}

TEST(ProtocolFailureTest, ThrownAndCaughtByCase) {
    try {
        throw ProtocolFailure::badProbe;
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "The probe acknowledgment did not match.");
    }
    EXPECT_NE(ProtocolFailure::badProbe, ProtocolFailure::malformed);
}

TEST(ProtocolFailureTest, DecodingProblemsBecomeMalformed) {
    try {
        decodeRecord<std::uint8_t>("300");
        FAIL();
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
    }
    EXPECT_THROW(decodeRecord<std::string>(std::string(100, '[')), ProtocolFailure);
}

}  // namespace
}  // namespace sorvanta
