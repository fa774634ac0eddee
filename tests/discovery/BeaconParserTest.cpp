#include "discovery/BeaconParser.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
