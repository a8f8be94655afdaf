#include "platform/dnssd/mdns_message.h"

#include <gtest/gtest.h>

#include "platform/dnssd/dnssd_txt.h"

namespace sorvanta {
namespace {

using Bytes = std::vector<std::uint8_t>;

const MdnsName serviceType = MdnsName::fromText("_sorvanta._tcp.local");

MdnsMessage sampleResponse() {
    const MdnsName instance = serviceType.prefixed("Desk Mac.2");
    const MdnsName host = MdnsName::fromText("sorvanta-0123456789ab.local");
    MdnsMessage message;
    message.flags = MdnsMessage::responseFlags;
    message.answers.push_back(MdnsRecord::ptr(serviceType, instance, 4500));
    auto srv = MdnsRecord::srv(instance, MdnsSrv{0, 0, 49152, host}, 120);
    srv.cacheFlush = true;
    message.additionals.push_back(srv);
    message.additionals.push_back(MdnsRecord::txt(instance, {"v=9", "id=X"}, 4500));
    message.additionals.push_back(MdnsRecord::a(host, {169, 254, 1, 2}, 120));
    message.additionals.push_back(
        MdnsRecord::aaaa(host, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 120));
    return message;
}

Bytes header(std::uint16_t qd, std::uint16_t an, std::uint16_t ns = 0, std::uint16_t ar = 0) {
    return {0,
            0,
            0x84,
            0,
            static_cast<std::uint8_t>(qd >> 8),
            static_cast<std::uint8_t>(qd),
            static_cast<std::uint8_t>(an >> 8),
            static_cast<std::uint8_t>(an),
            static_cast<std::uint8_t>(ns >> 8),
            static_cast<std::uint8_t>(ns),
            static_cast<std::uint8_t>(ar >> 8),
            static_cast<std::uint8_t>(ar)};
}

MdnsParseError errorOf(const Bytes& packet) {
    MdnsParseError error = MdnsParseError::none;
    EXPECT_FALSE(parseMdnsMessage(packet, &error).has_value());
    return error;
}

TEST(MdnsMessageTest, ResponseSurvivesEncodeAndParseWithCompression) {
    const MdnsMessage message = sampleResponse();
    const Bytes packet = encodeMdnsMessage(message);
    MdnsParseError error = MdnsParseError::badLabel;
    auto parsed = parseMdnsMessage(packet, &error);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(error, MdnsParseError::none);
    EXPECT_TRUE(parsed->isResponse());
    ASSERT_EQ(parsed->answers.size(), 1u);
    ASSERT_EQ(parsed->additionals.size(), 4u);
    EXPECT_EQ(parsed->answers[0].ptrTarget()->labels.front(), "Desk Mac.2");
    const auto srv = parsed->additionals[0].srvData();
    ASSERT_TRUE(srv.has_value());
    EXPECT_EQ(srv->port, 49152);
    EXPECT_EQ(srv->target.text(), "sorvanta-0123456789ab.local.");
    EXPECT_TRUE(parsed->additionals[0].cacheFlush);
    EXPECT_EQ(parsed->additionals[0].ttl, 120u);
    EXPECT_EQ(txtFromStrings(*parsed->additionals[1].txtStrings()).at("v"), "9");
    EXPECT_EQ(parsed->additionals[2].aAddress()->at(3), 2);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(parsed->additionals[i].sameData(message.additionals[i]));
    }
    // The repeated names are compressed: far less than the names spelled out each time.
    EXPECT_LT(packet.size(), 200u);
}

TEST(MdnsMessageTest, NamesCompareCaseInsensitivelyAndEscapeTheirText) {
    EXPECT_EQ(MdnsName::fromText("_SORVANTA._Tcp.LOCAL"), serviceType);
    const MdnsName odd({"a.b\\c", "local"});
    EXPECT_EQ(odd.text(), "a\\.b\\\\c.local.");
    EXPECT_EQ(MdnsName::fromText(odd.text()), odd);
    EXPECT_EQ(MdnsName({std::string("x\x01", 2)}).text(), "x\\001.");
    EXPECT_TRUE(serviceType.prefixed("Mac").isChildOf(serviceType));
    EXPECT_FALSE(serviceType.isChildOf(serviceType));
    EXPECT_FALSE(MdnsName({std::string(64, 'a')}).valid());
}

TEST(MdnsMessageTest, CompressionPointersMustPointStrictlyBackwards) {
    // A pointer to itself.
    Bytes self = header(1, 0);
    self.insert(self.end(), {0xC0, 12, 0, 1, 0, 1});
    EXPECT_EQ(errorOf(self), MdnsParseError::badPointer);
    // A pointer forward, to a valid name after it.
    Bytes forward = header(1, 0);
    forward.insert(forward.end(), {0xC0, 18, 0, 1, 0, 1, 1, 'a', 0});
    EXPECT_EQ(errorOf(forward), MdnsParseError::badPointer);
    // Two names pointing into each other: the second jump would not go further back.
    Bytes loop = header(2, 0);
    loop.insert(loop.end(), {1, 'a', 0xC0, 18, 0, 1, 0, 1, 1, 'b', 0xC0, 12, 0, 1, 0, 1});
    EXPECT_EQ(errorOf(loop), MdnsParseError::badPointer);
    // A pointer beyond the end.
    Bytes outside = header(1, 0);
    outside.insert(outside.end(), {0xFF, 0xFF, 0, 1, 0, 1});
    EXPECT_EQ(errorOf(outside), MdnsParseError::badPointer);
    // A pointer cut off by the end of the packet.
    Bytes cut = header(1, 0);
    cut.push_back(0xC0);
    EXPECT_NE(errorOf(cut), MdnsParseError::none);
}

// A question whose name is the given bytes.
Bytes question(Bytes name) {
    Bytes packet = header(1, 0);
    packet.insert(packet.end(), name.begin(), name.end());
    packet.insert(packet.end(), {0, 1, 0, 1});
    return packet;
}

// A name of labels of the given sizes, with its final zero.
Bytes labels(const std::vector<int>& sizes) {
    Bytes name;
    for (int size : sizes) {
        name.push_back(static_cast<std::uint8_t>(size));
        name.insert(name.end(), static_cast<std::size_t>(size), 'x');
    }
    name.push_back(0);
    return name;
}

TEST(MdnsMessageTest, LabelsAndNamesAreBounded) {
    const std::pair<Bytes, MdnsParseError> cases[] = {
        {labels({63, 63, 63, 61}), MdnsParseError::none},  // 255 wire bytes
        {labels({63, 63, 63, 62}), MdnsParseError::nameTooLong},
        {labels(std::vector<int>(127, 1)), MdnsParseError::none},  // 255 bytes
        {{0x41, 0}, MdnsParseError::badLabel},
        {{10, 'a', 'b', 0}, MdnsParseError::truncated},
    };
    for (const auto& [name, expected] : cases) {
        MdnsParseError error = MdnsParseError::badRdata;
        const auto parsed = parseMdnsMessage(question(name), &error);
        EXPECT_EQ(error, expected) << name.size();
        EXPECT_EQ(parsed.has_value(), expected == MdnsParseError::none) << name.size();
        if (parsed) {
            EXPECT_EQ(parsed->questions[0].name.wireLength(), 255u);
        }
    }
}

TEST(MdnsMessageTest, CountsAndSizesThePacketCannotHoldAreRefused) {
    // The body starts with a bad label, so an error other than tooManyRecords means a
    // record was read before the counts were checked.
    struct Case {
        std::uint16_t qd, an, ns, ar;
        std::size_t body;
        MdnsParseError expected;
    };
    const Case cases[] = {
        {0, 0xFFFF, 0, 0, 0, MdnsParseError::tooManyRecords},
        {0, 3, 0, 0, 32, MdnsParseError::tooManyRecords},  // 3 records need 33 bytes
        {0, 1, 1, 1, 32, MdnsParseError::tooManyRecords},
        {7, 0, 0, 0, 34, MdnsParseError::tooManyRecords},  // 7 questions need 35
        {2, 2, 0, 0, 31, MdnsParseError::tooManyRecords},
        {0, 3, 0, 0, 33, MdnsParseError::badLabel},  // room enough: the record is read
        {7, 0, 0, 0, 35, MdnsParseError::badLabel},
    };
    for (const auto& c : cases) {
        Bytes packet = header(c.qd, c.an, c.ns, c.ar);
        packet.resize(packet.size() + c.body, 0);
        if (c.body > 0) {
            packet[12] = 0x41;
        }
        EXPECT_EQ(errorOf(packet), c.expected) << c.qd << "/" << c.an << "/" << c.body;
    }
    EXPECT_EQ(errorOf(Bytes{0, 0, 0}), MdnsParseError::truncated);
    Bytes huge = header(0, 0);
    huge.resize(mdns::maxMessageSize + 1);
    EXPECT_EQ(errorOf(huge), MdnsParseError::tooLarge);
    // Enough bytes for the count check but records that end early.
    Bytes shortRecords = header(0, 2);
    shortRecords.insert(shortRecords.end(), 22, 0);
    shortRecords[12 + 10] = 0xFF;  // first record's length runs past the end
    EXPECT_EQ(errorOf(shortRecords), MdnsParseError::truncated);
}

TEST(MdnsMessageTest, RecordDataMustFitItsType) {
    auto withRecord = [](std::uint16_t type, const Bytes& rdata) {
        Bytes packet = header(0, 1);
        packet.insert(packet.end(),
                      {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0,
                       1, 0, 0, 0, 10, 0, static_cast<std::uint8_t>(rdata.size())});
        packet.insert(packet.end(), rdata.begin(), rdata.end());
        return packet;
    };
    EXPECT_EQ(errorOf(withRecord(mdns::typeA, {1, 2, 3})), MdnsParseError::badRdata);
    EXPECT_EQ(errorOf(withRecord(mdns::typeAaaa, Bytes(4, 0))), MdnsParseError::badRdata);
    EXPECT_EQ(errorOf(withRecord(mdns::typeTxt, {5, 'a'})), MdnsParseError::badRdata);
    EXPECT_EQ(errorOf(withRecord(mdns::typeSrv, {0, 0, 0, 0, 0, 80})), MdnsParseError::badRdata);
    // A PTR whose name ends before the stated length.
    EXPECT_EQ(errorOf(withRecord(mdns::typePtr, {1, 'a', 0, 9})), MdnsParseError::badRdata);
    // An empty TXT record reads as the one empty string; unknown types are kept raw.
    auto empty = parseMdnsMessage(withRecord(mdns::typeTxt, {}));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(*empty->answers[0].txtStrings(), std::vector<std::string>{""});
    auto other = parseMdnsMessage(withRecord(99, {7, 7}));
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->answers[0].rdata, (Bytes{7, 7}));
}

TEST(MdnsMessageTest, EncodingStopsAtTheLimitAndCountsWhatItWrote) {
    MdnsMessage query;
    query.questions.push_back({serviceType, mdns::typePtr, mdns::classIn, false});
    for (int i = 0; i < 100; ++i) {
        query.answers.push_back(MdnsRecord::ptr(
            serviceType, serviceType.prefixed("Instance number " + std::to_string(i)), 4500));
    }
    const Bytes packet = encodeMdnsMessage(query, 500);
    EXPECT_LE(packet.size(), 500u);
    auto parsed = parseMdnsMessage(packet);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_GT(parsed->answers.size(), 5u);
    EXPECT_LT(parsed->answers.size(), 100u);
    EXPECT_EQ(parsed->answers.back().ptrTarget()->labels.front(),
              "Instance number " + std::to_string(parsed->answers.size() - 1));
}

TEST(MdnsMessageTest, TxtKeysAreCaseInsensitiveAndTheFirstOccurrenceWins) {
    const DnssdTxt txt = txtFromStrings({"ID=first", "id=second", "flag", "=novalue", "", "m=a=b"});
    EXPECT_EQ(txt.at("id"), "first");
    EXPECT_EQ(txt.at("flag"), "");
    EXPECT_EQ(txt.at("m"), "a=b");
    EXPECT_EQ(txt.size(), 3u);
    EXPECT_EQ(txtToStrings({{"v", "9"}, {"id", "X"}}), (std::vector<std::string>{"v=9", "id=X"}));
}

}  // namespace
}  // namespace sorvanta
