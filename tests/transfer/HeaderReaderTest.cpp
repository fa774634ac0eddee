#include "transfer/HeaderReader.h"

#include <gtest/gtest.h>

#include "transfer/WireFormat.h"

namespace {

TEST(WireFormat, TheWorkedExample) {
    const std::string stream =
        wire::EncodeHeader(wire::NameFromPath("C:\\docs\\a.txt"), 5) + "hello";
    EXPECT_EQ(stream, std::string("a.txt\\\x05\0\0\0\0\0\0\0hello", 19));
    EXPECT_EQ(wire::NameFromPath("/home/u/a.txt"), "a.txt");
    EXPECT_EQ(wire::NameFromPath("plain"), "plain");
    EXPECT_EQ(wire::NameFromPath("ends/"), "");
}

TEST(HeaderReader, ReadsAHeaderAndLeavesTheBody) {
    const std::string stream = wire::EncodeHeader("a.txt", 5) + "hello";
    HeaderReader reader;
    EXPECT_EQ(reader.Feed(stream.data(), stream.size()), 14u);
    ASSERT_EQ(reader.state(), HeaderReader::State::Done);
    EXPECT_EQ(reader.name(), "a.txt");
    EXPECT_EQ(reader.size(), 5);
}

TEST(HeaderReader, EmptyNamesAndSizesAboveFourGigabytes) {
    const uint64_t big = (uint64_t{1} << 32) * 3 + 17;
    const std::string stream = wire::EncodeHeader("", big);
    EXPECT_EQ(stream.size(), 9u);
    EXPECT_EQ(static_cast<unsigned char>(stream[5]), 3u);
    HeaderReader reader;
    EXPECT_EQ(reader.Feed(stream.data(), stream.size()), 9u);
    ASSERT_EQ(reader.state(), HeaderReader::State::Done);
    EXPECT_EQ(reader.name(), "");
    EXPECT_EQ(reader.size(), static_cast<int64_t>(big));
}

TEST(HeaderReader, PutsTogetherAHeaderSplitAtEveryPosition) {
    const std::string name = "n\x80\xff.bin";
    const std::string stream = wire::EncodeHeader(name, 0x0102030405060708) + "body";
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        for (size_t second = cut; second <= stream.size(); ++second) {
            HeaderReader reader;
            size_t used = reader.Feed(stream.data(), cut);
            if (reader.state() == HeaderReader::State::NeedMore) {
                EXPECT_EQ(used, cut);
                used += reader.Feed(stream.data() + cut, second - cut);
            }
            if (reader.state() == HeaderReader::State::NeedMore) {
                used += reader.Feed(stream.data() + second, stream.size() - second);
            }
            ASSERT_EQ(reader.state(), HeaderReader::State::Done) << cut << " " << second;
            EXPECT_EQ(used, stream.size() - 4);
            EXPECT_EQ(reader.name(), name);
            EXPECT_EQ(reader.size(), 0x0102030405060708);
        }
    }
}

TEST(HeaderReader, ASeparatorThatDoesNotComeInTimeFails) {
    HeaderReader reader;
    const std::string almost(102399, 'a');
    EXPECT_EQ(reader.Feed(almost.data(), almost.size()), almost.size());
    EXPECT_EQ(reader.state(), HeaderReader::State::NeedMore);
    const std::string rest = wire::EncodeHeader("", 1);
    reader.Feed(rest.data(), rest.size());
    ASSERT_EQ(reader.state(), HeaderReader::State::Done);  // 102399 name bytes still fit
    EXPECT_EQ(reader.name().size(), 102399u);

    HeaderReader tooLong;
    tooLong.Feed(almost.data(), almost.size());
    tooLong.Feed("a", 1);
    EXPECT_EQ(tooLong.state(), HeaderReader::State::Failed);
    EXPECT_EQ(tooLong.Feed("\\", 1), 0u);
    EXPECT_EQ(tooLong.state(), HeaderReader::State::Failed);
}

}  // namespace
