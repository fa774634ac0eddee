#include "ftp/DataCopy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "ftp/BytesSendInterface.h"
#include "net/MemoryStream.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

struct RecordingSink : BytesSendInterface {
    std::vector<std::pair<int64_t, int64_t>> reports;
    void BytesSent(int64_t sent, int64_t total) override { reports.push_back({sent, total}); }
};

// Uploads a file of these contents to the stream.
datacopy::End UploadFile(const std::string& contents, MemoryStream& out, RecordingSink* sink,
                         int64_t total) {
    const std::string path = TestPaths::NewFolder("copy") + "/in.bin";
    WriteFile(path, contents);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const datacopy::End end = datacopy::Upload(fd, out, sink, total);
    close(fd);
    return end;
}

TEST(DataCopy, TwoAndAHalfChunksReportThreeTimesWithTheCallersTotal) {
    const std::string contents = RandomBytes(datacopy::kChunk * 5 / 2, 1);
    MemoryStream out;
    RecordingSink sink;
    EXPECT_EQ(UploadFile(contents, out, &sink, 777), datacopy::End::Finished);
    EXPECT_EQ(out.written, contents);
    const int64_t chunk = datacopy::kChunk;
    EXPECT_EQ(sink.reports, (std::vector<std::pair<int64_t, int64_t>>{
                                {chunk, 777}, {2 * chunk, 777}, {5 * chunk / 2, 777}}));
}

TEST(DataCopy, BytesAShortWriteDidNotTakeAreSentAgainNotLost) {
    const std::string contents = RandomBytes(300000, 2);
    MemoryStream out;
    out.accept = {1, 70000, 0 + 5, 102399, 3};
    RecordingSink sink;
    EXPECT_EQ(UploadFile(contents, out, &sink, 300000), datacopy::End::Finished);
    EXPECT_EQ(out.written, contents);
    ASSERT_GE(sink.reports.size(), 5u);
    EXPECT_EQ(sink.reports[0].first, 1);
    EXPECT_EQ(sink.reports[1].first, 70001);
    EXPECT_EQ(sink.reports[2].first, 70006);
    for (size_t i = 1; i < sink.reports.size(); ++i) {
        EXPECT_GT(sink.reports[i].first, sink.reports[i - 1].first);
    }
    EXPECT_EQ(sink.reports.back().first, 300000);
}

TEST(DataCopy, AnEmptyFileReportsNothingAndAFailedStreamStopsTheLoop) {
    MemoryStream out;
    RecordingSink sink;
    EXPECT_EQ(UploadFile("", out, &sink, 0), datacopy::End::Finished);
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_EQ(out.written, "");

    MemoryStream broken;
    broken.accept = {102400, -1};
    EXPECT_EQ(UploadFile(RandomBytes(250000, 3), broken, &sink, 250000),
              datacopy::End::StreamFailed);
    EXPECT_EQ(sink.reports.size(), 1u);
}

TEST(DataCopy, UnreadableFilesAndUnwritableTargetsAreFileErrors) {
    const std::string folder = TestPaths::NewFolder("dir");
    const int directory = open(folder.c_str(), O_RDONLY | O_CLOEXEC);
    MemoryStream out;
    EXPECT_EQ(datacopy::Upload(directory, out, nullptr, 0), datacopy::End::FileError);
    MemoryStream in;
    in.pieces = {"data"};
    EXPECT_EQ(datacopy::Download(in, directory), datacopy::End::FileError);
    close(directory);
}

TEST(DataCopy, DownloadsWriteEveryPieceUntilTheEnd) {
    const std::string path = TestPaths::NewFolder("down") + "/out.bin";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string contents = RandomBytes(250001, 4);
    MemoryStream in;
    in.pieces = {contents.substr(0, 7), contents.substr(7, 200000), contents.substr(200007)};
    EXPECT_EQ(datacopy::Download(in, fd), datacopy::End::Finished);
    close(fd);
    EXPECT_EQ(ReadFile(path), contents);

    MemoryStream failing;
    failing.pieces = {"abc"};
    failing.failAtEnd = true;
    const int again = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    EXPECT_EQ(datacopy::Download(failing, again), datacopy::End::StreamFailed);
    close(again);
}

}  // namespace
