#include "support/json_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace sorvanta {

enum class Colour { red, deepBlue };

template <>
struct json::EnumNames<Colour> {
    static constexpr std::array<std::string_view, 2> names{"red", "deepBlue"};
};

namespace {

struct Inner {
    double rate = 0;
    bool operator==(const Inner&) const = default;
    static Inner fromJson(const json::ObjectReader& r) { return {r.required<double>("rate")}; }
    void toJson(json::ObjectWriter& w) const { w.field("rate", rate); }
};

struct Sample {
    Uuid id;
    std::uint8_t stage = 0;
    std::uint64_t bytes = 0;
    std::optional<std::string> note;
    Colour colour = Colour::red;
    std::vector<Inner> inner;
    std::optional<Inner> extra;
    bool operator==(const Sample&) const = default;

    static Sample fromJson(const json::ObjectReader& r) {
        return {r.required<Uuid>("id"),
                r.required<std::uint8_t>("stage"),
                r.required<std::uint64_t>("bytes"),
                r.optional<std::string>("note"),
                r.required<Colour>("colour"),
                r.required<std::vector<Inner>>("inner"),
                r.optional<Inner>("extra")};
    }
    void toJson(json::ObjectWriter& w) const {
        w.field("id", id);
        w.field("stage", stage);
        w.field("bytes", bytes);
        w.field("note", note);
        w.field("colour", colour);
        w.field("inner", inner);
        w.field("extra", extra);
    }
};

// A record every key of which is optional: only the object check stands between it and
// a value of another type.
struct Loose {
    std::optional<std::string> note;
    bool operator==(const Loose&) const = default;
    static Loose fromJson(const json::ObjectReader& r) { return {r.optional<std::string>("note")}; }
    void toJson(json::ObjectWriter& w) const { w.field("note", note); }
};

const char* const base =
    R"({"id":"0c6e1a52-1f4e-4d8e-9a35-0b7d2f0e7c11","stage":2,"bytes":18446744073709551615,)"
    R"("colour":"deepBlue","inner":[{"rate":1}]})";

TEST(JsonCodecTest, RoundTripsRecordsAndLeavesAbsentOptionalsOut) {
    Sample s = json::decode<Sample>(base);
    EXPECT_EQ(s.id.text(), "0C6E1A52-1F4E-4D8E-9A35-0B7D2F0E7C11");
    EXPECT_EQ(s.bytes, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(s.colour, Colour::deepBlue);
    EXPECT_EQ(s.inner.at(0).rate, 1.0);  // an integer literal is a valid double
    EXPECT_FALSE(s.note.has_value());
    std::string text = json::encode(s);
    EXPECT_EQ(text.find("note"), std::string::npos);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_EQ(json::decode<Sample>(text), s);
    s.note = "x";
    s.extra = Inner{2.5};
    EXPECT_EQ(json::decode<Sample>(json::encode(s)), s);
}

TEST(JsonCodecTest, NullOptionalIsAbsentButNullRequiredFails) {
    std::string withNull = std::string(base);
    withNull.insert(1, R"("note":null,"extra":null,"unknown":[1,{"a":2}],)");
    Sample s = json::decode<Sample>(withNull);
    EXPECT_FALSE(s.note.has_value());
    EXPECT_FALSE(s.extra.has_value());
    std::string nullRequired = std::string(base);
    nullRequired.replace(nullRequired.find("2,"), 1, "null");
    EXPECT_THROW(json::decode<Sample>(nullRequired), json::DecodeError);
}

TEST(JsonCodecTest, RefusesIllTypedAndOutOfRangeIntegers) {
    auto with = [](std::string from, std::string to) {
        std::string text = base;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    for (const auto& bad : {"2.0", "2.5", "2e0", "256", "-1", "\"2\"", "true"}) {
        EXPECT_THROW(json::decode<Sample>(with("\"stage\":2", std::string("\"stage\":") + bad)),
                     json::DecodeError)
            << bad;
    }
    for (const auto& bad : {"18446744073709551616", "-1", "1.0"}) {
        EXPECT_THROW(json::decode<Sample>(with("18446744073709551615", bad)), json::DecodeError)
            << bad;
    }
    EXPECT_THROW(json::decode<Sample>(with("\"deepBlue\"", "\"DeepBlue\"")), json::DecodeError);
    EXPECT_THROW(json::decode<Sample>(with("\"deepBlue\"", "1")), json::DecodeError);
    EXPECT_THROW(json::decode<Sample>(with("0c6e1a52-", "{0c6e1a52-")), json::DecodeError);
    EXPECT_THROW(json::decode<Sample>(with(R"("stage":2,)", "")), json::DecodeError);
    EXPECT_THROW(json::decode<Sample>(with(R"({"rate":1})", R"({"rate":"1"})")), json::DecodeError);
    for (const auto& notAnObject : {"[]", "1", "\"x\"", "null", "true"}) {
        EXPECT_THROW(json::decode<Loose>(notAnObject), json::DecodeError) << notAnObject;
    }
    EXPECT_EQ(json::decode<Loose>("{}"), Loose{});
}

TEST(JsonCodecTest, ParseRefusesDuplicateKeysDeepNestingAndTrailingData) {
    EXPECT_THROW(json::parse(R"({"a":1,"a":2})"), json::DecodeError);
    EXPECT_NO_THROW(json::parse(R"({"a":{"a":1},"b":[{"a":1},{"a":2}]})"));
    std::string deep63 = std::string(63, '[') + std::string(63, ']');
    std::string deep64 = std::string(64, '[') + std::string(64, ']');
    std::string deep65 = std::string(65, '[') + std::string(65, ']');
    EXPECT_NO_THROW(json::parse(deep63));
    EXPECT_NO_THROW(json::parse(deep64));
    EXPECT_THROW(json::parse(deep65), json::DecodeError);
    // Far deeper input is refused without exhausting the stack.
    EXPECT_THROW(json::parse(std::string(1'000'000, '[')), json::DecodeError);
    EXPECT_THROW(json::parse(R"({"a":1} x)"), json::DecodeError);
    EXPECT_THROW(json::parse(""), json::DecodeError);
    EXPECT_THROW(json::parse("{\"a\":\"\xC3\x28\"}"), json::DecodeError);  // invalid UTF-8
    EXPECT_NO_THROW(json::parse(" {\"a\":1}\n"));
}

TEST(JsonCodecTest, NonFiniteDoublesFailToEncode) {
    Inner inner{std::numeric_limits<double>::quiet_NaN()};
    EXPECT_THROW(json::encode(inner), json::EncodeError);
    inner.rate = std::numeric_limits<double>::infinity();
    EXPECT_THROW(json::encode(inner), json::EncodeError);
    inner.rate = -0.0;
    EXPECT_NO_THROW(json::encode(inner));
}

TEST(JsonCodecTest, EncodingInvalidUtf8Fails) {
    EXPECT_THROW(json::encode(std::string("\xFF")), json::EncodeError);
}

TEST(JsonCodecTest, EnumNamesAreExact) {
    EXPECT_EQ(json::enumName(Colour::deepBlue), "deepBlue");
    EXPECT_EQ(json::enumFromName<Colour>("red"), Colour::red);
    EXPECT_FALSE(json::enumFromName<Colour>("Red").has_value());
    EXPECT_FALSE(json::enumFromName<Colour>("").has_value());
}

}  // namespace
}  // namespace sorvanta
