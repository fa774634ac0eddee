#include "transfer/Frame.h"

#include <gtest/gtest.h>

#include <variant>

#include "net/MemoryStream.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"

namespace {

using frame::Type;

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values) {
        out.push_back(static_cast<char>(value));
    }
    return out;
}

// A frame header with any type and length, for payloads the encoders would not make.
std::string Raw(int type, const std::string& payload, uint32_t length) {
    return Bytes({type, int(length >> 24), int(length >> 16) & 0xFF, int(length >> 8) & 0xFF,
                  int(length & 0xFF)}) +
           payload;
}
std::string Raw(int type, const std::string& payload) {
    return Raw(type, payload, static_cast<uint32_t>(payload.size()));
}

TEST(Frame, EveryMessageComesBackWholeFromReadsOfAnySize) {
    frame::Pair commit;
    commit.type = Type::PairReveal;
    commit.bytes.fill(0xA5);
    const std::vector<frame::Message> messages = {
        frame::Hello{1, frame::Purpose::Pairing, "desk \xc3\xa9"},
        frame::File{(uint64_t{1} << 40) + 3, -86400, "photo.jpg"},
        frame::Verdict{false, 0, "no space"},
        frame::Ack{true, "photo.jpg"},
        frame::Ack{false, ""},
        frame::PrefixHash{uint64_t{1} << 33, {0x5A, 0, 0xFF}},
        frame::Resume{0},
        commit,
        frame::Confirm{true},
        frame::End{},
    };
    std::string all;
    for (const frame::Message& message : messages) {
        all += std::visit([](const auto& m) { return frame::Encode(m); }, message);
    }
    // The worked example: a FILE of 5 bytes named "a".
    EXPECT_EQ(frame::Encode(frame::File{5, 1, "a"}),
              Raw(0x10, Bytes({0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 'a'})));
    // A resumed file's frames have fixed lengths: 40 and 8.
    EXPECT_EQ(frame::Encode(frame::PrefixHash{7, {}}).substr(0, 13),
              Raw(0x15, Bytes({0, 0, 0, 0, 0, 0, 0, 7}), 40));
    EXPECT_EQ(frame::Encode(frame::Resume{7}), Raw(0x16, Bytes({0, 0, 0, 0, 0, 0, 0, 7})));
    for (size_t piece : {size_t(1), size_t(3), all.size()}) {
        FrameReader reader;
        std::vector<std::string> decoded;
        for (size_t at = 0; at < all.size();) {
            at += reader.Feed(all.data() + at, std::min(piece, all.size() - at));
            ASSERT_NE(reader.state(), FrameReader::State::Failed) << piece;
            if (reader.state() == FrameReader::State::Done) {
                decoded.push_back(
                    std::visit([](const auto& m) { return frame::Encode(m); }, reader.message()));
                reader.Next();
            }
        }
        ASSERT_EQ(decoded.size(), messages.size()) << piece;
        EXPECT_EQ(decoded[1], frame::Encode(std::get<frame::File>(messages[1])));
        EXPECT_EQ(std::get<frame::File>(messages[1]).mtime, -86400);
    }
}

TEST(FrameReader, RefusesWhatIsMalformedAsSoonAsItCanTell) {
    using E = frame::Error;
    const std::string size16 = std::string(16, '\0');
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<Type> expected;  // an initializer_list member would dangle
        E error;
    };
    const std::vector<Case> cases = {
        {"unknown type", Raw(0x17, ""), {}, E::Unexpected},
        {"known, not due", frame::Encode(frame::Ack{true, "a"}), {Type::Hello}, E::Unexpected},
        {"length over the limit", Raw(0x01, "", 65537), {}, E::TooLong},
        {"hello of another version", Raw(0x01, Bytes({2, 1, 0, 0})), {}, E::Malformed},
        {"hello of no purpose", Raw(0x01, Bytes({1, 3, 0, 0})), {}, E::Malformed},
        {"name longer than its frame", Raw(0x01, Bytes({1, 1, 0, 9, 'a'})), {}, E::Malformed},
        {"bytes left over", Raw(0x01, Bytes({1, 1, 0, 0, 'x'})), {}, E::Malformed},
        {"file without its path length", Raw(0x10, size16), {}, E::Malformed},
        {"verdict of 2", Raw(0x11, Bytes({2}) + std::string(10, '\0')), {}, E::Malformed},
        {"short commitment", Raw(0x20, std::string(31, 'c')), {}, E::Malformed},
        {"prefix hash of nothing", Raw(0x15, std::string(40, '\0')), {}, E::Malformed},
        {"short prefix hash",
         Raw(0x15, Bytes({0, 0, 0, 0, 0, 0, 0, 1}) + std::string(31, 'h')),
         {},
         E::Malformed},
        {"resume with bytes left over", Raw(0x16, std::string(9, '\0')), {}, E::Malformed},
        {"end with a payload", Raw(0x7F, "x"), {}, E::Malformed},
        {"empty path", frame::Encode(frame::File{1, 0, ""}), {}, E::BadName},
        {"parent", frame::Encode(frame::File{1, 0, ".."}), {}, E::BadName},
        {"dot", frame::Encode(frame::File{1, 0, "."}), {}, E::BadName},
        {"leading slash", frame::Encode(frame::File{1, 0, "/etc/passwd"}), {}, E::BadName},
        {"parent inside", frame::Encode(frame::File{1, 0, "a/../../b"}), {}, E::BadName},
        {"NUL", frame::Encode(frame::File{1, 0, std::string("a\0b", 3)}), {}, E::BadName},
        {"our queue file", frame::Encode(frame::File{1, 0, "Files2Send.txt"}), {}, E::BadName},
        {"kept under a bad name", frame::Encode(frame::Ack{true, "../x"}), {}, E::BadName},
    };
    for (const Case& c : cases) {
        FrameReader reader({});
        reader.Expect(c.expected);
        reader.Feed(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(reader.state(), FrameReader::State::Failed) << c.what;
        EXPECT_EQ(reader.error(), c.error) << c.what;
    }
    // Told at the first byte and the length, before any payload is waited for.
    FrameReader early;
    EXPECT_EQ(early.Feed("\x17\0\0\0\0", 5), 1u);
    FrameReader huge;
    EXPECT_EQ(huge.Feed("\x01\xff\xff\xff\xff", 5), 5u);
    EXPECT_EQ(huge.error(), E::TooLong);
    // A refused name still comes back, for the refusal.
    FrameReader named;
    const std::string bad = frame::Encode(frame::File{7, 0, "Files2Send.txt"});
    named.Feed(bad.data(), bad.size());
    ASSERT_NE(named.refused(), nullptr);
    EXPECT_EQ(std::get<frame::File>(*named.refused()).path, "Files2Send.txt");
    // A frame cut by the end of the stream.
    FrameReader cut;
    cut.Feed(bad.data(), 7);
    cut.End();
    EXPECT_EQ(cut.error(), E::Malformed);
}

TEST(FrameLink, LeavesTheBodyBehindAFrameAndHandsOutNoMoreThanItsSize) {
    MemoryStream stream;
    stream.pieces = {frame::Encode(frame::File{6, 0, "a.txt"}) + "bod",
                     "y!" + frame::Encode(frame::End{})};
    FrameLink link(stream);
    FrameReader reader({Type::File});
    ASSERT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
    link.LimitReads(5);
    std::string body;
    char buffer[64];
    for (long n; (n = link.Read(buffer, sizeof buffer)) > 0;) {
        body.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(body, "body!");
    link.LimitReads(UINT64_MAX);
    reader.Next();
    reader.Expect({Type::End});
    EXPECT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
    reader.Next();
    EXPECT_EQ(link.ReadFrame(reader), FrameLink::Got::Closed);
}

}  // namespace
