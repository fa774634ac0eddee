#include "transfer/ReceiveSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "transfer/ReceivedName.h"
#include "transfer/WireFormat.h"

namespace {

using Status = ReceiveSession::Status;

struct MemoryTarget : ReceiveSession::Target {
    void Announce(const std::string& name) override { announced.push_back(name); }
    bool Create(const std::string& name) override {
        created.push_back(name);
        return canCreate;
    }
    bool Write(const char* data, size_t length) override {
        if (written.size() + length > room) {
            return false;
        }
        written.append(data, length);
        return true;
    }
    std::vector<std::string> announced;
    std::vector<std::string> created;
    std::string written;
    bool canCreate = true;
    size_t room = std::string::npos;
};

TEST(ReceivedName, RefusesNamesThatLeaveTheFolderOrHitOurOwnFiles) {
    const std::vector<std::string> refused = {"",
                                              ".",
                                              "..",
                                              "../escape",
                                              "a/b",
                                              "/etc/passwd",
                                              std::string("a\0b", 3),
                                              "line\nbreak",
                                              "tab\there",
                                              "del\x7f",
                                              "\x1b[31m",
                                              std::string(256, 'n'),
                                              "Files2Send.txt",
                                              "files2send.TXT",
                                              "zingwelllog.txt",
                                              "ZingwellLog.txt",
                                              ".Files2Send.txt.tmp-a1B2c3",
                                              ".zingwelllog.txt.tmp-x",
                                              "NotDelivered.txt",
                                              ".notdelivered.txt.tmp-Ab12cd",
                                              ".zingwell-incoming.tmp-0123456789abcdef",
                                              ".Zingwell-Incoming.TMP-x"};
    for (const std::string& name : refused) {
        EXPECT_FALSE(received_name::IsAcceptable(name)) << received_name::ForLog(name);
    }
    const std::vector<std::string> accepted = {"a.txt",
                                               "...",
                                               ".hidden",
                                               "n\x80\xff.bin",
                                               "C:name",
                                               "Files2Send.txt.bak",
                                               "my zingwelllog.txt",
                                               ".zingwell-incoming.tmp",
                                               std::string(255, 'n')};
    for (const std::string& name : accepted) {
        EXPECT_TRUE(received_name::IsAcceptable(name)) << name;
    }
    EXPECT_EQ(received_name::ForLog("a\nb\x01"), "a?b?");
    // Cut in the middle, so that the end of a long name stays in sight.
    EXPECT_EQ(received_name::ForLog(std::string(300, 'x')),
              std::string(127, 'x') + "\u2026" + std::string(127, 'x'));
}

TEST(ReceiveSession, TakesTheSameFileHoweverTheStreamIsCut) {
    const std::string body = "0123456789abcdefghij";
    const std::string stream = wire::EncodeHeader("n\x80.bin", body.size()) + body;
    for (size_t first = 1; first <= stream.size(); ++first) {
        for (size_t second = first; second <= stream.size(); ++second) {
            MemoryTarget target;
            ReceiveSession session(target);
            std::vector<Status> statuses;
            const size_t cuts[] = {0, first, second, stream.size()};
            for (int i = 0; i < 3; ++i) {
                if (cuts[i + 1] > cuts[i]) {
                    statuses.push_back(
                        session.Feed(stream.data() + cuts[i], cuts[i + 1] - cuts[i]));
                }
            }
            ASSERT_EQ(session.End(), Status::Finished);
            EXPECT_EQ(target.created, std::vector<std::string>{"n\x80.bin"});
            EXPECT_EQ(target.written, body);
            EXPECT_EQ(session.received(), static_cast<int64_t>(stream.size()));
            EXPECT_EQ(session.size(), int64_t(body.size()));
            // Nothing to report until the header is whole; progress after every read then.
            const bool headerInFirst = first >= stream.size() - body.size();
            EXPECT_EQ(statuses.front(), headerInFirst ? Status::Progress : Status::Reading);
            EXPECT_EQ(statuses.back(), Status::Progress);
        }
    }
}

TEST(ReceiveSession, AFileIsWholeWithItsAnnouncedSizeExactlyOrAtLeastFromAPlainSender) {
    const std::string body(300, 'b');
    using Sizes = ReceiveSession::Sizes;
    struct Case {
        int64_t announced;
        size_t sent;
        Status exact;     // the end with exact sizes
        Status advisory;  // with a plain sender's sizes: a file that grew is kept whole
    };
    for (const Case& c : {Case{300, 300, Status::Finished, Status::Finished},
                          Case{301, 300, Status::Short, Status::Short},
                          Case{600, 300, Status::Short, Status::Short},
                          Case{299, 300, Status::TooLong, Status::Finished},
                          Case{0, 1, Status::TooLong, Status::Finished},
                          Case{0, 300, Status::TooLong, Status::Finished},
                          Case{-1, 300, Status::Short, Status::Short}}) {
        for (Sizes sizes : {Sizes::Exact, Sizes::Advisory}) {
            const Status end = sizes == Sizes::Exact ? c.exact : c.advisory;
            for (size_t piece : {size_t(1), size_t(7), size_t(1000)}) {
                MemoryTarget target;
                ReceiveSession session(target, sizes);
                const std::string stream =
                    wire::EncodeHeader("f", static_cast<uint64_t>(c.announced)) +
                    body.substr(0, c.sent);
                Status status = Status::Reading;
                for (size_t at = 0; at < stream.size(); at += piece) {
                    status = session.Feed(stream.data() + at,
                                          std::min<size_t>(piece, stream.size() - at));
                }
                if (status != Status::TooLong) {
                    status = session.End();
                }
                EXPECT_EQ(status, end) << c.announced << " " << c.sent << " " << piece;
                // Exact sizes: never more than announced reaches the file, however cut.
                const size_t kept =
                    sizes == Sizes::Exact ? std::min<size_t>(c.sent, c.announced) : c.sent;
                EXPECT_EQ(target.written, body.substr(0, kept));
                EXPECT_EQ(session.End(), end);  // and the failure stays
            }
        }
    }
}

TEST(ReceiveSession, AnEmptyFileAndAnEmptyConnection) {
    MemoryTarget target;
    ReceiveSession session(target);
    const std::string header = wire::EncodeHeader("empty", 0);
    EXPECT_EQ(session.Feed(header.data(), header.size()), Status::Progress);
    EXPECT_EQ(session.End(), Status::Finished);
    EXPECT_EQ(target.created.size(), 1u);
    EXPECT_EQ(session.received(), 14);

    MemoryTarget none;
    ReceiveSession nothing(none);
    EXPECT_EQ(nothing.End(), Status::Finished);
    EXPECT_TRUE(none.announced.empty());
}

TEST(ReceiveSession, BrokenHeadersEndAsFailuresWithoutAFile) {
    MemoryTarget target;
    ReceiveSession cut(target);
    EXPECT_EQ(cut.Feed("name\\\x01\x02", 7), Status::Reading);
    EXPECT_EQ(cut.End(), Status::BadHeader);

    ReceiveSession endless(target);
    const std::string noSeparator(wire::kPieceSize, 'a');
    EXPECT_EQ(endless.Feed(noSeparator.data(), noSeparator.size()), Status::BadHeader);
    EXPECT_EQ(endless.Feed("\\", 1), Status::BadHeader);  // a failure stays a failure
    EXPECT_TRUE(target.announced.empty());
    EXPECT_TRUE(target.created.empty());
}

TEST(ReceiveSession, RefusedNamesAreAnnouncedButNeverCreated) {
    MemoryTarget target;
    ReceiveSession session(target);
    const std::string stream = wire::EncodeHeader("..", 4) + "data";
    EXPECT_EQ(session.Feed(stream.data(), stream.size()), Status::Refused);
    EXPECT_EQ(target.announced, std::vector<std::string>{".."});
    EXPECT_TRUE(target.created.empty());
    EXPECT_EQ(session.End(), Status::Refused);

    MemoryTarget cannot;
    cannot.canCreate = false;
    ReceiveSession refused(cannot);
    const std::string fine = wire::EncodeHeader("fine", 4) + "data";
    EXPECT_EQ(refused.Feed(fine.data(), fine.size()), Status::Refused);
    EXPECT_TRUE(cannot.written.empty());
}

TEST(ReceiveSession, AFailedWriteEndsTheFile) {
    MemoryTarget target;
    target.room = 6;
    ReceiveSession session(target);
    const std::string stream = wire::EncodeHeader("full", 12) + "abcd";
    EXPECT_EQ(session.Feed(stream.data(), stream.size()), Status::Progress);
    EXPECT_EQ(session.Feed("efgh", 4), Status::WriteFailed);
    EXPECT_EQ(session.Feed("ijkl", 4), Status::WriteFailed);
    EXPECT_EQ(session.End(), Status::WriteFailed);
    EXPECT_EQ(target.written, "abcd");
}

}  // namespace
