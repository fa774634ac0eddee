// The wire bytes of the batch frames, and which paths a batch takes.
#include <gtest/gtest.h>

#include "transfer/BatchFrames.h"
#include "transfer/BatchPaths.h"
#include "transfer/RelativePath.h"

using batch_frames::Batch;
using relative_path::Problem;

TEST(BatchFrames, WriteTheDocumentedBytesAndReadOnlyExactlyThose) {
    const std::string batch = batch_frames::EncodeBatch({2, 1, 0x0102030405060708, "Ph"});
    EXPECT_EQ(batch, std::string("\x13\0\0\0\x14\0\0\0\x02\0\0\0\x01"
                                 "\x01\x02\x03\x04\x05\x06\x07\x08\0\x02Ph",
                                 25));
    Batch read;
    ASSERT_TRUE(batch_frames::DecodeBatch(std::string_view(batch).substr(5), read));
    EXPECT_EQ(read, (Batch{2, 1, 0x0102030405060708, "Ph"}));
    EXPECT_EQ(batch_frames::EncodeFolder("a/b"), std::string("\x14\0\0\0\x05\0\x03"
                                                             "a/b",
                                                             10));
    EXPECT_EQ(batch_frames::EncodeResume(258),
              std::string("\x16\0\0\0\x08\0\0\0\0\0\0\x01\x02", 13));
    batch_frames::PrefixHash hash{5, {}};
    hash.sha256[31] = 0xEE;
    const std::string hashFrame = batch_frames::EncodePrefixHash(hash);
    EXPECT_EQ(hashFrame.substr(0, 13), std::string("\x15\0\0\0\x28\0\0\0\0\0\0\0\x05", 13));
    batch_frames::PrefixHash readHash;
    ASSERT_TRUE(batch_frames::DecodePrefixHash(std::string_view(hashFrame).substr(5), readHash));
    EXPECT_EQ(readHash, hash);

    // Short, long, an offset of 0, counts over the limit, values that cannot be sent.
    std::string path;
    EXPECT_FALSE(batch_frames::DecodeBatch(std::string_view(batch).substr(5, 19), read));
    EXPECT_FALSE(batch_frames::DecodeBatch(batch.substr(5) + "x", read));
    EXPECT_FALSE(
        batch_frames::DecodeBatch(std::string("\0\x01\x86\xA1", 4) + std::string(14, '\0'), read));
    EXPECT_FALSE(batch_frames::DecodeFolder(std::string("\0\0", 2), path));
    EXPECT_FALSE(batch_frames::DecodePrefixHash(std::string(40, '\0'), readHash));
    EXPECT_EQ(batch_frames::EncodeBatch({1, 0, 0, std::string(256, 'x')}), "");
    EXPECT_EQ(batch_frames::EncodeFolder(std::string(4096, 'x')), "");

    uint8_t type = 0;
    uint32_t length = 0;
    EXPECT_EQ(batch_frames::ReadHeader(batch.substr(0, 4), type, length),
              batch_frames::Header::NeedMore);
    EXPECT_EQ(batch_frames::ReadHeader(std::string("\x14\0\x01\0\x01", 5), type, length),
              batch_frames::Header::TooLong);
    EXPECT_EQ(batch_frames::ReadHeader(batch, type, length), batch_frames::Header::Whole);
    EXPECT_EQ(type, 0x13);
    EXPECT_EQ(length, 20u);
}

TEST(RelativePath, SplitsOnlyPathsThatStayBelowTheFolder) {
    const std::string name255(255, 'n');
    std::string deep32 = "d";
    for (int i = 1; i < 32; ++i) {
        deep32 += "/d";
    }
    const std::string long4096 = name255 + "/" + std::string(3840, 'x');
    const struct {
        std::string path;
        Problem problem;
        size_t names;
    } rows[] = {
        {"a.txt", Problem::None, 1},
        {"Photos/2024/img 1.jpg", Problem::None, 3},
        {"\xC3\xA9t\xC3\xA9/caf\xC3\xA9", Problem::None, 2},
        {name255 + "/x", Problem::None, 2},
        {deep32, Problem::None, 32},
        {"sub/Files2Send.txt", Problem::None, 2},  // our files are at the top only
        {"", Problem::Empty, 0},
        {"a//b", Problem::Empty, 0},
        {"a/", Problem::Empty, 0},
        {"/etc/passwd", Problem::Absolute, 0},
        {"..", Problem::DotName, 0},
        {"a/../../b", Problem::DotName, 0},
        {"./a", Problem::DotName, 0},
        {"a\\..\\b", Problem::Backslash, 0},
        {std::string("a\0b", 3), Problem::Control, 0},
        {"a/b\nc", Problem::Control, 0},
        {"a\x7F", Problem::Control, 0},
        {name255 + "n", Problem::ComponentTooLong, 0},
        {deep32 + "/d", Problem::TooDeep, 0},
        {long4096, Problem::TooLong, 0},
        {"Files2Send.txt", Problem::Reserved, 0},
        {"ZINGWELLLOG.TXT/x", Problem::Reserved, 0},
        {"NotDelivered.txt", Problem::Reserved, 0},
        {"a/.zingwell-incoming.tmp-0123456789abcdef", Problem::Reserved, 0},
    };
    for (const auto& row : rows) {
        std::vector<std::string> names{"left over"};
        EXPECT_EQ(relative_path::Split(row.path, names), row.problem) << row.path;
        EXPECT_EQ(names.size(), row.names) << row.path;
    }
}

TEST(BatchPaths, TakesEachPathOnceWhateverItsLetterCase) {
    BatchPaths batch;
    using V = BatchPaths::Verdict;
    const struct {
        std::string path;
        bool folder;
        V verdict;
    } rows[] = {
        {"docs", true, V::New},
        {"docs", true, V::Again},
        {"Docs", true, V::CaseTwin},
        {"DOCS/x.txt", false, V::CaseTwin},
        {"docs/Readme.txt", false, V::New},
        {"docs/README.TXT", false, V::CaseTwin},
        {"docs/Readme.txt", false, V::Taken},
        {"docs/Readme.txt", true, V::Taken},
        {"docs/Readme.txt/x", false, V::ThroughFile},
        {"docs", false, V::Taken},
        {"\xC3\x84pfel/a", false, V::New},           // Ä
        {"\xC3\xA4pfel/b", false, V::CaseTwin},      // ä
        {"\xCE\xA3\xCE\xB9/a", false, V::New},       // Σι
        {"\xCF\x82\xCE\x99/a", false, V::CaseTwin},  // ςΙ
        {"new/deeper/file", false, V::New},
        {"new/deeper", true, V::Again},  // made on the way of the file
    };
    for (const auto& row : rows) {
        std::vector<std::string> names;
        ASSERT_EQ(relative_path::Split(row.path, names), Problem::None) << row.path;
        EXPECT_EQ(batch.Add(names, row.folder), row.verdict) << row.path;
    }
}
