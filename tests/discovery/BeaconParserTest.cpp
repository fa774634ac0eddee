#include "discovery/BeaconParser.h"

#include <gtest/gtest.h>

#include <string>

#include "discovery/BeaconCapability.h"

namespace {

std::string Read(const std::string& datagram) {
    const BeaconParser::Beacon beacon = BeaconParser::Parse(datagram.data(), datagram.size());
    switch (beacon.kind) {
        case BeaconParser::Kind::Announce:
            return "announce " + beacon.address + " " + beacon.port;
        case BeaconParser::Kind::Leave:
            return "leave";
        default:
            return "ignored";
    }
}

TEST(BeaconParser, ReadsWhatCopiesSend) {
    EXPECT_EQ(Read("b|192.168.1.20|6677"), "announce 192.168.1.20 6677");
    EXPECT_EQ(Read("d|192.168.1.20|blah, blah"), "leave");
    EXPECT_EQ(Read("b|10.0.0.7|6677|more|fields"), "announce 10.0.0.7 6677");
    EXPECT_EQ(Read("||b||10.0.0.7|6677|"), "announce 10.0.0.7 6677");
    EXPECT_EQ(Read("beacon|10.0.0.8|7000"), "announce 10.0.0.8 7000");
    EXPECT_EQ(Read("dear|x"), "leave");
    EXPECT_EQ(Read("d"), "leave");
    EXPECT_EQ(Read("x|10.0.0.7|6677"), "ignored");
    EXPECT_EQ(Read("|||"), "ignored");
    EXPECT_EQ(Read(""), "ignored");
}

TEST(BeaconParser, AnnouncesThatCannotNameABuddyAreIgnored) {
    EXPECT_EQ(Read("b||6677"), "ignored");  // what a copy that has no address sends
    EXPECT_EQ(Read("b|10.0.0.7"), "ignored");
    EXPECT_EQ(Read("b|10.0.0.7|0"), "ignored");
    EXPECT_EQ(Read("b|10.0.0.7|0000000"), "ignored");
    EXPECT_EQ(Read("b|10.0.0.7|65535"), "announce 10.0.0.7 65535");
    EXPECT_EQ(Read("b|10.0.0.7|65536"), "ignored");
    EXPECT_EQ(Read("b|10.0.0.7|0006677"), "announce 10.0.0.7 0006677");
    EXPECT_EQ(Read("b|10.0.0.7|00006677"), "ignored");  // 8 characters
    EXPECT_EQ(Read("b|10.0.0.7|66x"), "ignored");
    EXPECT_EQ(Read("b|10.0.0.7|-1"), "ignored");
    EXPECT_EQ(Read("b|10.0.0.7| 6677"), "ignored");
    EXPECT_EQ(Read("b|10.0.0.256|6677"), "ignored");
    EXPECT_EQ(Read("b|buddy.example|6677"), "ignored");
    EXPECT_EQ(Read("b|" + std::string(28, '1') + "|6677"), "ignored");
}

TEST(BeaconParser, TheTextEndsAtTheFirstNul) {
    EXPECT_EQ(Read(std::string("b|10.0.0.7|6677\0junk", 20)), "announce 10.0.0.7 6677");
    EXPECT_EQ(Read(std::string("b|10.0.0.7\0|6677", 16)), "ignored");
    EXPECT_EQ(Read(std::string("\0d", 2)), "ignored");
}

// What an announce offers, as "tls k=KEY n=NAME", or "none".
std::string Offer(const std::string& datagram) {
    const BeaconParser::Beacon beacon = BeaconParser::Parse(datagram.data(), datagram.size());
    if (beacon.kind != BeaconParser::Kind::Announce) {
        return "not an announce";
    }
    if (!beacon.capability) {
        return "none";
    }
    return std::string(beacon.capability->tls ? "tls" : "-") + " k=" + beacon.capability->keyId +
           " n=" + beacon.capability->name;
}

TEST(BeaconParser, TheFourthFieldSaysWhatACopyOffersAndNothingMalformedSpoilsTheAnnounce) {
    const std::string b = "b|10.0.0.7|6677|";
    const std::string key = "0123456789abcdef";
    const struct {
        std::string datagram;
        std::string offer;
    } cases[] = {
        {"b|10.0.0.7|6677", "none"},  // what every older copy sends
        {b + "zw1;tls;k=" + key + ";n=Anna%27s%20PC", "tls k=" + key + " n=Anna's PC"},
        {b + "zw1;tls", "tls k= n="},
        {b + "zw1", "- k= n="},
        {b + "zw1;n=a%c3%a9;tls;future=1;k=" + key, "tls k=" + key + " n=a\xc3\xa9"},
        {b + "zw2;tls;k=" + key, "none"},  // not ours to read
        {b + "tls;zw1;k=" + key, "none"},
        {b + "ZW1;tls", "none"},
        {b + "zw1;tls;k=0123456789ABCDEF", "tls k= n="},  // upper case
        {b + "zw1;tls;k=0123456789abcde", "tls k= n="},   // 15 digits
        {b + "zw1;tls;k=0123456789abcdefa", "tls k= n="},
        {b + "zw1;tls;k=" + key + ";k=fedcba9876543210", "tls k=" + key + " n="},
        {b + "zw1;tls;n=a b", "tls k= n="},  // a blank must be encoded
        {b + "zw1;tls;n=%4", "tls k= n="},   // cut short
        {b + "zw1;tls;n=%zz", "tls k= n="},  // not hex
        {b + "zw1;tls;n=" + std::string(97, 'x'), "tls k= n="},
        {b + "zw1;tls;n=" + std::string(96, 'x'), "tls k= n=" + std::string(64, 'x')},
        {b + "zw1;tls;n=%00%0A", "tls k= n=" + std::string("\0\n", 2)},  // DisplayName's job
        {b + "zw1;;tls;", "tls k= n="},
        {"||b||10.0.0.7||6677||zw1;tls||", "tls k= n="},
        {b + "zw1;tls|more", "tls k= n="},
        {"b|10.0.0.7|6677|" + std::string("zw1;tls\0;k=", 11) + key, "tls k= n="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Read(c.datagram), "announce 10.0.0.7 6677") << c.datagram;
        EXPECT_EQ(Offer(c.datagram), c.offer) << c.datagram;
    }
    // A leave names its address, for the owner to weigh against the source.
    EXPECT_EQ(BeaconParser::Parse("d|10.0.0.9|blah, blah", 21).address, "10.0.0.9");
    EXPECT_EQ(BeaconParser::Parse("d|nobody|blah, blah", 19).address, "");
}

TEST(BeaconCapability, WhatIsEncodedReadsBackWithinItsBoundsNeverCuttingACharacter) {
    const std::string key = "00112233aabbccdd";
    std::string accents;  // 17 two-byte characters: 34 bytes, 102 encoded
    for (int i = 0; i < 17; ++i) {
        accents += "\xc3\xa9";
    }
    const struct {
        std::string keyId, name, field, decoded;
    } cases[] = {
        {key, "anna-pc", "zw1;tls;k=" + key + ";n=anna-pc", "anna-pc"},
        {key, "", "zw1;tls;k=" + key, ""},
        {"not a key", "a;b|c%", "zw1;tls;n=a%3Bb%7Cc%25", "a;b|c%"},
        {key, std::string(63, 'a') + "\xc3\xa9", "", std::string(63, 'a')},  // 64 bytes at most
        {key, accents, "", accents.substr(0, 32)},  // 96 encoded bytes at most
    };
    for (const auto& c : cases) {
        const std::string field = BeaconCapability::Encode(c.keyId, c.name);
        EXPECT_TRUE(c.field.empty() || field == c.field) << field;
        const std::optional<Capability> back = BeaconCapability::Decode(field);
        ASSERT_TRUE(back) << field;
        EXPECT_EQ(*back,
                  (Capability{true, BeaconCapability::IsKeyId(c.keyId) ? c.keyId : "", c.decoded}));
    }
    // The longest announce stays far below the 1023 bytes a datagram may hold.
    EXPECT_LT(
        ("b|255.255.255.255|65535|" + BeaconCapability::Encode(key, std::string(200, 'x'))).size(),
        200u);
}

}  // namespace
