// Transfers against real FTP servers started on loopback by each test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "Needs.h"
#include "ftp/BytesSendInterface.h"
#include "ftp/FTPLink.h"
#include "net/StartNetwork.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;

struct RecordingSink : BytesSendInterface {
    std::vector<int64_t> sent;
    void BytesSent(int64_t done, int64_t total) override {
        sent.push_back(done);
        EXPECT_EQ(total, expectedTotal);
    }
    int64_t expectedTotal = 0;
};

const std::vector<size_t> kSizes = {0, 102400, 256000, 20 * 1000 * 1000};

class Transfers : public testing::Test {
protected:
    void SetUp() override {
        StartNetwork();
        link.SetTimeout(20s);
        local = TestPaths::NewFolder("local");
    }

    // Stores a file of `size` random bytes as remote, then fetches it back; checks both
    // copies byte for byte, and the progress reports of the upload.
    void RoundTrip(size_t size, bool passive, const std::string& remote,
                   const std::string& storedAt, const std::string& fetchFrom) {
        SCOPED_TRACE(std::to_string(size) + (passive ? " passive" : " active"));
        const std::string contents = RandomBytes(size, static_cast<uint32_t>(size + passive));
        const std::string source = local + "/up.bin";
        WriteFile(source, contents);
        RecordingSink sink;
        sink.expectedTotal = static_cast<int64_t>(size);
        ASSERT_TRUE(link.TransferFile(&sink, sink.expectedTotal, remote, source, passive, false))
            << link.replyText();
        EXPECT_EQ(link.replyClass(), 2);
        EXPECT_TRUE(ReadFile(storedAt) == contents);
        if (size == 256000) {
            EXPECT_EQ(sink.sent, (std::vector<int64_t>{102400, 204800, 256000}));
        } else if (size == 0) {
            EXPECT_TRUE(sink.sent.empty());
        } else {
            ASSERT_FALSE(sink.sent.empty());
            EXPECT_EQ(sink.sent.back(), static_cast<int64_t>(size));
        }

        const std::string target = local + "/down.bin";
        WriteFile(target, "old contents, to be replaced");
        ASSERT_TRUE(link.TransferFile(nullptr, 0, fetchFrom, target, passive, true))
            << link.replyText();
        EXPECT_TRUE(ReadFile(target) == contents);
    }

    FTPLink link;
    std::string local;
};

TEST_F(Transfers, PyftpdlibStoresAndFetchesEverySizePassiveAndActive) {
    NEED_PYFTPDLIB();
    const std::string root = TestPaths::NewFolder("pyftpd");
    PyFtpServer server(root);
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(link.Logon("127.0.0.1", server.port(), "user", "secret", "", "", "", "", 0, 0))
        << link.replyText();
    for (bool passive : {true, false}) {
        for (size_t size : kSizes) {
            RoundTrip(size, passive, "/f.bin", root + "/f.bin", "/f.bin");
        }
    }
    link.Quit();
}

TEST_F(Transfers, VsftpdStoresAndFetchesEverySizePassiveAndActive) {
    NEED_VSFTPD();
    VsFtpServer server;
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(link.Logon("127.0.0.1", server.port(), "anonymous", "x", "", "", "", "", 0, 0))
        << link.replyText();
    int n = 0;
    for (bool passive : {true, false}) {
        for (size_t size : kSizes) {
            // Anonymous uploads cannot be overwritten or fetched again, so each goes to a
            // new name, and the fetch takes a copy the test puts in the root folder.
            const std::string name = "f" + std::to_string(n++) + ".bin";
            const std::string stored = server.incoming() + "/" + name;
            const std::string copy = server.root() + "/" + name;
            const std::string contents = RandomBytes(size, static_cast<uint32_t>(size + passive));
            WriteFile(copy, contents);
            chmod(copy.c_str(), 0644);
            RoundTrip(size, passive, "incoming/" + name, stored, "/" + name);
        }
    }
    link.Quit();
}

TEST_F(Transfers, AWrongSecretIsRefusedWithTheServersLine) {
    NEED_PYFTPDLIB();
    const std::string root = TestPaths::NewFolder("pyftpd");
    PyFtpServer server(root);
    ASSERT_TRUE(server.ok());
    EXPECT_FALSE(link.Logon("127.0.0.1", server.port(), "user", "wrong", "", "", "", "", 0, 0));
    EXPECT_EQ(link.replyText().substr(0, 4), "530 ");
    EXPECT_FALSE(link.Connected());
}

TEST_F(Transfers, MissingFilesAndRefusedStoresLeaveTheLinkUsable) {
    NEED_PYFTPDLIB();
    const std::string root = TestPaths::NewFolder("pyftpd");
    PyFtpServer server(root);
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(link.Logon("127.0.0.1", server.port(), "reader", "secret", "", "", "", "", 0, 0));
    EXPECT_FALSE(link.TransferFile(nullptr, 0, "/x.bin", local + "/missing.bin", true, false));
    EXPECT_EQ(link.replyText(), FTPLink::kUnableToOpenFile);
    EXPECT_FALSE(link.TransferFile(nullptr, 0, "/x.bin", local, true, false));  // a folder
    EXPECT_EQ(link.replyText(), FTPLink::kUnableToOpenFile);

    WriteFile(local + "/a.txt", "abc");
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "/a.txt", local + "/a.txt", true, false));
    EXPECT_EQ(link.replyText().substr(0, 4), "550 ");  // no write permission
    EXPECT_FALSE(FileExists(root + "/a.txt"));

    // A refused fetch leaves an existing local file as it was.
    WriteFile(local + "/keep.txt", "precious");
    EXPECT_FALSE(link.TransferFile(nullptr, 0, "/nothing-here", local + "/keep.txt", true, true));
    EXPECT_EQ(ReadFile(local + "/keep.txt"), "precious");

    WriteFile(root + "/there.txt", "there");
    EXPECT_TRUE(link.TransferFile(nullptr, 0, "/there.txt", local + "/got.txt", false, true));
    EXPECT_EQ(ReadFile(local + "/got.txt"), "there");
    link.Quit();
}

TEST_F(Transfers, VsftpdRefusesAStoreIntoItsRootAndTakesTheNext) {
    NEED_VSFTPD();
    VsFtpServer server;
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(link.Logon("127.0.0.1", server.port(), "anonymous", "x", "", "", "", "", 0, 0));
    WriteFile(local + "/a.txt", "abc");
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "//a.txt", local + "/a.txt", true, false));
    EXPECT_EQ(link.replyText().substr(0, 4), "553 ");
    EXPECT_TRUE(link.TransferFile(nullptr, 3, "incoming/a.txt", local + "/a.txt", true, false))
        << link.replyText();
    EXPECT_EQ(ReadFile(server.incoming() + "/a.txt"), "abc");
    link.Quit();
}

}  // namespace
