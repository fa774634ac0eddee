#include "ftp/FtpText.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "ftp/LineReader.h"
#include "ftp/LineWriter.h"
#include "ftp/ReplyAssembler.h"
#include "ftp/ReplyReader.h"
#include "net/MemoryStream.h"

namespace {

TEST(FtpText, LeadingNumbersAndReplyClasses) {
    EXPECT_EQ(ftp::LeadingNumber("220-Welcome"), 220);
    EXPECT_EQ(ftp::LeadingNumber("  \t230 ok"), 230);
    EXPECT_EQ(ftp::LeadingNumber("hello"), 0);
    EXPECT_EQ(ftp::LeadingNumber(""), 0);
    EXPECT_EQ(ftp::LeadingNumber("99999999999999999999 big"), 2147483647);
    EXPECT_EQ(ftp::ReplyClassOf("150 go"), 1);
    EXPECT_EQ(ftp::ReplyClassOf("530 no"), 5);
}

TEST(FtpText, CommandsWithLineBreaksOrNulAreUnsafe) {
    EXPECT_TRUE(ftp::IsSafeCommand("STOR //a b.txt"));
    EXPECT_FALSE(ftp::IsSafeCommand("STOR a\nDELE b"));
    EXPECT_FALSE(ftp::IsSafeCommand("STOR a\rDELE b"));
    EXPECT_FALSE(ftp::IsSafeCommand(std::string("PASS a\0b", 8)));
}

// NOOP confirms that the server is in step after a transfer: no error answers it for the
// server, as errors answer other commands, but for one that lacks NOOP (500, 502) or hangs up.
TEST(FtpText, RepliesFitTheirCommandAndNoopOnlyItsOwn) {
    const struct {
        const char* command;
        int code;
        bool fits;
    } rows[] = {
        {"NOOP", 200, true},     {"NOOP", 500, true},    {"NOOP", 502, true},
        {"NOOP", 421, true},     {"NOOP", 451, false},   {"NOOP", 226, false},
        {"NOOP", 220, false},    {"NOOP", 150, false},   {"NOOP", 530, false},
        {"TYPE I", 451, true},   {"TYPE I", 226, false}, {"STOR /a", 150, true},
        {"STOR /a", 200, false}, {"", 220, true},        {"SITE x", 250, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ftp::ReplyFits(row.command, row.code), row.fits)
            << row.command << " " << row.code;
    }
}

TEST(FtpText, PassiveReplies) {
    ftp::PassiveTarget target;
    ASSERT_TRUE(ftp::ParsePassiveReply("227 Entering Passive Mode (10,0,0,7,19,136)", target));
    EXPECT_EQ(target.address, "10.0.0.7");
    EXPECT_EQ(target.port, 5000);
    ASSERT_TRUE(ftp::ParsePassiveReply("227 =( 127, 0, 0, 1, 4, 1 ).", target));
    EXPECT_EQ(target.port, 1025);

    EXPECT_FALSE(ftp::ParsePassiveReply("227 Entering Passive Mode 10,0,0,7,19,136", target));
    EXPECT_FALSE(ftp::ParsePassiveReply("227 (10,0,0,7,19,136", target));
    EXPECT_FALSE(ftp::ParsePassiveReply("227 )10,0,0,7,19,136(", target));
    EXPECT_FALSE(ftp::ParsePassiveReply("227 (136)", target));
    EXPECT_FALSE(ftp::ParsePassiveReply("227 (1,2,3,4,0,0)", target));
    EXPECT_FALSE(ftp::ParsePassiveReply("227 (1,2,3,4,256,1)", target));
    EXPECT_FALSE(ftp::ParsePassiveReply("227 (1,2,3,4,-1,1)", target));
    EXPECT_FALSE(ftp::ParsePassiveReply("227 (1,2,3,4,99999999999,1)", target));
}

TEST(FtpText, PortArgumentsAndUploadNames) {
    in_addr address{};
    inet_pton(AF_INET, "192.168.1.5", &address);
    EXPECT_EQ(ftp::PortArgument(address, 5000), "192,168,1,5,19,136");
    EXPECT_EQ(ftp::UploadName("C:\\docs\\a.txt"), "a.txt");
    EXPECT_EQ(ftp::UploadName("/home/u/a.txt"), "a.txt");
    EXPECT_EQ(ftp::UploadName("/home/u/odd\\name.txt"), "name.txt");
    EXPECT_EQ(ftp::UploadName("plain.txt"), "");
}

TEST(ReplyAssembler, RepliesBeginWithACodeAndEndAtTheirOwnNumberAndASpace) {
    using Step = ReplyAssembler::Step;
    ReplyAssembler reply;
    EXPECT_EQ(reply.Feed("220 ready"), Step::Complete);
    EXPECT_EQ(reply.Feed("200"), Step::Complete);  // a bare code is a whole reply
    // Lines that cannot begin a reply belong to none.
    for (const char* stray : {"", "22", "hello", "220x-", "2200 no", " 220 x", "2a0 x"}) {
        EXPECT_EQ(reply.Feed(stray), Step::NotAReply) << stray;
    }
    EXPECT_EQ(reply.Feed("220-Welcome"), Step::More);
    EXPECT_EQ(reply.code(), 220);
    // Inside a reply, anything goes until its own closing line.
    for (const char* inner : {"230 another number", "22", "", "220-more", " 220-x", "hello"}) {
        EXPECT_EQ(reply.Feed(inner), Step::More) << inner;
    }
    EXPECT_EQ(reply.Feed("220 ready"), Step::Complete);
    EXPECT_EQ(reply.Feed("331 next reply is single"), Step::Complete);
    EXPECT_EQ(reply.code(), 331);
}

TEST(ReplyReader, FinalRepliesReadPastStrayLinesAndPreliminaryReplies) {
    MemoryStream stream;
    stream.pieces = {
        "\r\nnoise\r\n120 wait\r\n110 MARK 1 = 2\r\n150-a\r\n\r\n150 b\r\n"
        "226 done\r\n150 next\r\n"};
    LineReader lines(stream);
    ReplyReader replies(lines);
    std::string line;
    EXPECT_EQ(replies.Read(true, line), ReplyReader::Result::Reply);
    EXPECT_EQ(line, "226 done");
    EXPECT_EQ(replies.code(), 226);
    // Where a preliminary reply is due, it is the answer.
    EXPECT_EQ(replies.Read(false, line), ReplyReader::Result::Reply);
    EXPECT_EQ(line, "150 next");
    EXPECT_EQ(replies.code(), 150);
    EXPECT_EQ(replies.Read(true, line), ReplyReader::Result::End);

    MemoryStream failing;
    failing.pieces = {"150 only preliminary\r\n"};
    failing.failAtEnd = true;
    LineReader failingLines(failing);
    EXPECT_EQ(ReplyReader(failingLines).Read(true, line), ReplyReader::Result::Failed);
}

TEST(ReplyReader, EverythingOneReadTakesIsBounded) {
    // Stray lines, preliminary replies and the lines of one reply all count.
    for (const std::string& filler :
         {std::string("x\r\n"), std::string("110 MARK\r\n"), std::string("230-a\r\n")}) {
        MemoryStream stream;
        for (int i = 0; i < 1000; ++i) {
            stream.pieces.push_back(filler);
        }
        stream.pieces.push_back("230 in\r\n");
        LineReader lines(stream);
        std::string line;
        EXPECT_EQ(ReplyReader(lines, 2000).Read(true, line), ReplyReader::Result::Refused)
            << filler;
        EXPECT_LT(stream.reads, 1000);
    }
    MemoryStream nul;
    nul.pieces = {std::string("220 a\0b\r\n", 9)};
    LineReader nulLines(nul);
    std::string line;
    EXPECT_EQ(ReplyReader(nulLines).Read(true, line), ReplyReader::Result::Refused);
}

TEST(LineReader, LinesEndAtLfWithOrWithoutCrAndMayArriveByteByByte) {
    const std::string text = "220-one\r\n220 two\nlast";
    MemoryStream stream;
    for (char c : text) {
        stream.pieces.push_back(std::string(1, c));
    }
    LineReader reader(stream);
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::Line);
    EXPECT_EQ(line, "220-one");
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::Line);
    EXPECT_EQ(line, "220 two");
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::Line);  // cut off by the end
    EXPECT_EQ(line, "last");
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::End);
}

TEST(LineReader, SeveralLinesInOneReadAndFailures) {
    MemoryStream stream;
    stream.pieces = {"a\r\n\r\nb\n"};
    stream.failAtEnd = true;
    LineReader reader(stream);
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::Line);
    EXPECT_EQ(line, "a");
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::Line);
    EXPECT_EQ(line, "");
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::Line);
    EXPECT_EQ(stream.reads, 1);
    EXPECT_EQ(reader.ReadLine(line), LineReader::Result::Failed);
}

TEST(LineReader, LongLinesAndNulsAreRefused) {
    MemoryStream fits;
    fits.pieces = {std::string(LineReader::kMaxLine, 'x') + "\r\n"};
    LineReader fitsReader(fits);
    std::string line;
    EXPECT_EQ(fitsReader.ReadLine(line), LineReader::Result::Line);
    EXPECT_EQ(line.size(), LineReader::kMaxLine);

    // Cut off by the end of the stream, a line is held to the same cap, CR or not.
    for (const std::string& last : {std::string(LineReader::kMaxLine, 'x') + "\r",
                                    std::string(LineReader::kMaxLine + 1, 'x')}) {
        MemoryStream cut;
        cut.pieces = {last};
        LineReader cutReader(cut);
        EXPECT_EQ(cutReader.ReadLine(line), LineReader::Result::TooLong);
    }

    MemoryStream endless;
    for (int i = 0; i < 1000; ++i) {
        endless.pieces.push_back(std::string(4096, 'y'));
    }
    LineReader endlessReader(endless);
    EXPECT_EQ(endlessReader.ReadLine(line), LineReader::Result::TooLong);
    EXPECT_LT(endless.reads, 20);  // gave up soon after the limit, without reading it all

    MemoryStream nul;
    nul.pieces = {std::string("220 a\0b\r\n", 9)};
    LineReader nulReader(nul);
    EXPECT_EQ(nulReader.ReadLine(line), LineReader::Result::HasNul);
}

TEST(LineWriter, WritesLongLinesWholeWithCrLfAndReportsAShortStream) {
    MemoryStream stream;
    stream.accept = {1000, 3, 5000, 1};
    LineWriter writer(stream);
    const std::string longCommand = "STOR " + std::string(9000, 'n');
    EXPECT_TRUE(writer.WriteLine(longCommand));
    EXPECT_TRUE(writer.WriteLine("QUIT"));
    EXPECT_EQ(stream.written, longCommand + "\r\nQUIT\r\n");

    MemoryStream broken;
    broken.accept = {2, -1};
    LineWriter failing(broken);
    EXPECT_FALSE(failing.WriteLine("TYPE I"));
    EXPECT_TRUE(failing.WriteLine("NOOP"));  // nothing of the failed line is sent again
    EXPECT_EQ(broken.written, "TYNOOP\r\n");
}

}  // namespace
