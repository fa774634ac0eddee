// Zingwell copies against real processes on loopback (each party at an address of its own):
// a man in the middle between two paired copies, and a copy that knows only the plain format.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "TransferHelpers.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

// A program whose standard output the test reads line by line; its errors go to a file.
class Program : public ChildProcess {
public:
    Program(std::vector<std::string> arguments, const std::string& home) {
        errors_ = TestPaths::NewFolder("errors") + "/stderr";
        ChildOptions options = ChildOptions::Piped({"HOME=" + home});
        options.output = errors_;
        Start(arguments, options);
    }
    // The rest of the first line that starts with `prefix` (lines before it are passed over).
    std::string Value(const std::string& prefix) {
        for (std::string line = ReadLine(std::chrono::seconds(60)); !line.empty();
             line = ReadLine(std::chrono::seconds(60))) {
            if (line.rfind(prefix, 0) == 0) {
                return line.substr(prefix.size());
            }
        }
        return {};
    }
    std::vector<std::string> LinesToEnd() {
        std::vector<std::string> lines;
        for (std::string line = ReadLine(std::chrono::seconds(60)); !line.empty();
             line = ReadLine(std::chrono::seconds(60))) {
            lines.push_back(line);
        }
        return lines;
    }
    int Exit() {
        const int status = Wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Errors() { return ReadFile(errors_); }

private:
    std::string errors_;
};

const std::string kPeer = ZINGWELL_BINARY_DIR "/bench/zw_peer";
const std::string kMiddle = ZINGWELL_BINARY_DIR "/bench/zw_mitm";
const std::vector<std::string> kPlainCopy = {
    "/usr/bin/python3", ZINGWELL_SOURCE_DIR "/tests/transfer/tools/plain_copy.py"};

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Sender -> middle (127.0.0.2, its own key, TLS both ways) -> receiver. A sender that pins the
// middle's key is the control: the relay works and records the file. A sender paired with
// the receiver must refuse the middle before any frame; so must a receiver that pins the
// sender, whatever the sender took the middle for.
TEST(Attackers, AManInTheMiddleAfterPairingIsRefusedBeforeAnyFileByte) {
    const std::string outgoing = TestPaths::NewFolder("outgoing");
    const std::string body = RandomBytes(700000, 51);
    WriteFile(outgoing + "/secret plans.bin", body);
    enum class Pins { SenderTheMiddle, SenderTheReceiver, ReceiverTheSender };
    for (const Pins pins :
         {Pins::SenderTheMiddle, Pins::SenderTheReceiver, Pins::ReceiverTheSender}) {
        const bool pinReceiver = pins == Pins::SenderTheReceiver;
        SCOPED_TRACE(pinReceiver                     ? "paired with the receiver"
                     : pins == Pins::SenderTheMiddle ? "pinned the middle's key"
                                                     : "the receiver pins the sender");
        const std::string receiverHome = TestPaths::NewFolder("receiver-home");
        const std::string senderHome = TestPaths::NewFolder("sender-home");
        const std::string record = TestPaths::NewFolder("middle") + "/record";

        std::vector<std::string> pinSender;
        if (pins == Pins::ReceiverTheSender) {
            Program made({kPeer, "--identity", senderHome + "/id", "--port", "0", "--timeout", "5"},
                         senderHome);
            pinSender = {"--pin", made.Value("key ")};
            ASSERT_EQ(pinSender[1].size(), 64u);
            ASSERT_EQ(made.Exit(), 0);
        }
        Program receiver(Plus({kPeer, "--identity", receiverHome + "/id", "--port", "0",
                               "--receive", "1", "--timeout", "60"},
                              pinSender),
                         receiverHome);
        const std::string receiverKey = receiver.Value("key ");
        const std::string receiverPort = receiver.Value("listening ");
        ASSERT_EQ(receiverKey.size(), 64u);
        Program middle({kMiddle, "--identity", TestPaths::NewFolder("middle-id"), "--listen",
                        "127.0.0.2", "--to", "127.0.0.3", receiverPort, "--record", record},
                       TestPaths::NewFolder("middle-home"));
        const std::string middleKey = middle.Value("key ");
        const std::string middlePort = middle.Value("listening ");
        ASSERT_FALSE(middlePort.empty()) << middle.Errors();
        ASSERT_NE(middleKey, receiverKey);

        Program sender({kPeer, "--identity", senderHome + "/id", "--pin",
                        pinReceiver ? receiverKey : middleKey, "--send", "127.0.0.2", middlePort,
                        outgoing + "/secret plans.bin", "--timeout", "60"},
                       senderHome);
        const int senderExit = sender.Exit();
        const int middleExit = middle.Exit();
        const std::string seen = ReadFile(record);
        const std::string stored = receiverHome + "/Zingwell/secret plans.bin";
        if (pins == Pins::ReceiverTheSender) {
            // The middle got the file from a sender that trusted it, but the receiver took
            // nothing from a key that is not the sender's.
            EXPECT_NE(senderExit, 0);
            EXPECT_EQ(receiver.Exit(), 1);
            EXPECT_EQ(transfer_test::Listing(receiverHome + "/Zingwell"),
                      std::vector<std::string>{"zingwelllog.txt"});
            EXPECT_NE(ReadFile(receiverHome + "/Zingwell/zingwelllog.txt")
                          .find(" refused: key " + middleKey + "\n"),
                      std::string::npos);
            continue;
        }
        if (!pinReceiver) {
            EXPECT_EQ(senderExit, 0) << sender.Errors();
            EXPECT_EQ(middleExit, 0) << middle.Errors();
            EXPECT_EQ(receiver.Exit(), 0) << receiver.Errors();
            EXPECT_TRUE(ReadFile(stored) == body);
            EXPECT_NE(seen.find(body), std::string::npos) << "the middle reads what it relays";
            continue;
        }
        // The sender: refused for the identity, the entry kept (a failed send, error 4).
        EXPECT_EQ(senderExit, 1);
        EXPECT_NE(sender.Errors().find("zw_peer: error 4\n"), std::string::npos) << sender.Errors();
        EXPECT_NE(sender.Errors().find("secure send ended 2: " + middleKey), std::string::npos)
            << sender.Errors();
        EXPECT_EQ(transfer_test::Occurrences(ReadFile(senderHome + "/Zingwell/zingwelllog.txt"),
                                             "Send failed: the buddy's identity changed, "
                                             "nothing sent\n"),
                  1u);
        // The middle: not one plaintext byte either way, so nothing of the file.
        EXPECT_NE(middleExit, 0);
        EXPECT_EQ(seen.size(), 0u);
        EXPECT_EQ(seen.find("secret plans"), std::string::npos);
        EXPECT_EQ(seen.find(body.substr(0, 64)), std::string::npos);
        // The receiver: nothing stored, not even a part.
        receiver.Stop();
        EXPECT_EQ(transfer_test::Listing(receiverHome + "/Zingwell"),
                  std::vector<std::string>{"zingwelllog.txt"});
        // And no failed receive to show for a session cut before it asked anything.
        EXPECT_EQ(
            ReadFile(receiverHome + "/Zingwell/zingwelllog.txt").find("Listener: recv() failed"),
            std::string::npos);
    }
}

// plain_copy.py speaks only the plain format. A copy with a key (so it could speak TLS) takes
// its file, and sends to it in the plain format, on one connection, with no TLS byte first.
TEST(Attackers, ACopyBuiltFromTheDesignAloneWorksWithOursBothWays) {
    const std::string outgoing = TestPaths::NewFolder("outgoing");
    const std::string toUs = RandomBytes(1500000, 61);
    const std::string fromUs = RandomBytes(900001, 62);
    WriteFile(outgoing + "/to zingwell.bin", toUs);
    WriteFile(outgoing + "/from zingwell.bin", fromUs);

    const std::string ourHome = TestPaths::NewFolder("our-home");
    Program ours(
        {kPeer, "--identity", ourHome + "/id", "--port", "0", "--receive", "1", "--timeout", "60"},
        ourHome);
    const std::string ourPort = ours.Value("listening ");
    ASSERT_FALSE(ourPort.empty());
    Program plainSender(
        Plus(kPlainCopy, {"send", "127.0.0.1", ourPort, outgoing + "/to zingwell.bin"}), ourHome);
    EXPECT_EQ(plainSender.Exit(), 0) << plainSender.Errors();
    EXPECT_EQ(ours.Exit(), 0) << ours.Errors();
    EXPECT_TRUE(ReadFile(ourHome + "/Zingwell/to zingwell.bin") == toUs);

    const std::string plainFolder = TestPaths::NewFolder("plain-received");
    Program plainReceiver(Plus(kPlainCopy, {"receive", "127.0.0.4", plainFolder}), ourHome);
    const std::string plainPort = plainReceiver.Value("listening ");
    ASSERT_FALSE(plainPort.empty()) << plainReceiver.Errors();
    Program sender({kPeer, "--identity", ourHome + "/id", "--send", "127.0.0.4", plainPort,
                    outgoing + "/from zingwell.bin", "--timeout", "60"},
                   ourHome);
    EXPECT_EQ(sender.Exit(), 0) << sender.Errors();
    // Told to end only now, the plain copy also counts any connection still waiting for it.
    plainReceiver.Signal(SIGTERM);
    EXPECT_EQ(plainReceiver.LinesToEnd(),
              (std::vector<std::string>{"accepted", "first 66726f6d207a696e",  // "from zin"
                                        "stored from zingwell.bin 900001", "end"}))
        << plainReceiver.Errors();
    EXPECT_TRUE(ReadFile(plainFolder + "/from zingwell.bin") == fromUs);
}

}  // namespace
