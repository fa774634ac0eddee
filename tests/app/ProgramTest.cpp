// The real desktop program, started as a user would start it the first time, in a network
// namespace of the test's own; the test talks to it over real connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "app/ZingwellCopy.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "transfer/WireFormat.h"

namespace {

// A UDP socket that hears the discovery group on loopback, as another copy would.
int JoinDiscoveryGroup() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1024);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq group{};
    group.imr_multiaddr.s_addr = inet_addr("225.6.7.8");
    group.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{};
    limit.tv_sec = kPatience.count();
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

TEST(Program, FirstRunReceivesAFileAndEndsCleanlyWhileAMessageBoxWaits) {
    ZW_ENTER_OWN_NETWORK();
    const int group = JoinDiscoveryGroup();
    ASSERT_GE(group, 0) << "cannot hear the discovery group on loopback";

    ZingwellCopy copy("first-run");
    copy.AcceptStrangers();  // the buddy below is a stranger; asking is tested elsewhere
    ASSERT_TRUE(copy.Start(""));

    // A first run: the folder, the first-run settings, and manual mode with the server on, so
    // it listens on 6677.
    ASSERT_TRUE(Soon([&] { return copy.ListensOn(6677) || !copy.Running(); })) << copy.Output();
    ASSERT_TRUE(copy.Running()) << copy.Output();
    EXPECT_TRUE(FileExists(copy.ReceiveFolder()));
    const std::string settings = ReadFile(copy.UserRegistry());
    for (const char* value :
         {"\"servaddr\"=\"255.255.255.255\"", "\"clientport\"=\"6677\"", "\"autoport\"=\"6677\"",
          "\"serverport\"=\"6677\"", "\"ftpip\"=\"255.255.255.255\"", "\"target\"=\"/\"",
          "\"user\"=\"username\"", "\"pass\"=\"secretpw\"", "\"useftp\"=dword:00000000",
          "\"server\"=dword:00000001", "\"manual\"=dword:00000001", "\"auto\"=dword:00000000"}) {
        EXPECT_NE(settings.find(value), std::string::npos) << value << " missing in\n" << settings;
    }

    // A buddy sends a file: header, body, end of stream.
    const std::string body = RandomBytes(300000, 7);
    {
        const int fd = ConnectToLoopback(6677);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, wire::EncodeHeader("holiday photo.jpg", body.size()) + body));
        shutdown(fd, SHUT_WR);
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // the program closes once it has it all
        close(fd);
    }
    const std::string stored = copy.ReceiveFolder() + "/holiday photo.jpg";
    ASSERT_TRUE(Soon([&] { return ReadFile(stored).size() == body.size(); }));
    EXPECT_TRUE(ReadFile(stored) == body);

    // Another breaks off after its header with a reset: the worker that received it reports
    // the failure (a log line and a notification; a box only for the sender's own failures).
    {
        const int fd = ConnectToLoopback(6677);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, wire::EncodeHeader("broken.bin", 5000) + "part"));
        // Until it is whole, the file is written under a temporary name.
        ASSERT_TRUE(Soon([&] { return ReceivingInto(copy.ReceiveFolder()); }));
        CloseWithReset(fd);
    }
    // "Error code 5" is written (and flushed) when the failure is reported.
    ASSERT_TRUE(copy.LogShows("Error code 5\n")) << copy.Log();
    usleep(300 * 1000);  // lets the box come up; the test holds either way
    EXPECT_FALSE(FileExists(copy.ReceiveFolder() + "/broken.bin"));

    // The desktop ends the program: as Exit, without waiting for the worker in its box.
    const int status = copy.Stop();
    ASSERT_NE(status, -1) << "did not end within " << kPatience.count() << " s\n" << copy.Output();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << copy.Output();
    const std::string log = copy.Log();
    ASSERT_GE(log.size(), 14u);
    EXPECT_EQ(log.substr(log.size() - 14), "Shutting down\n") << log;

    // It said goodbye to any buddy on the way out.
    char datagram[1024] = {};
    const ssize_t length = recv(group, datagram, sizeof datagram - 1, 0);
    close(group);
    ASSERT_GT(length, 0) << "no leave beacon";
    const std::string leave(datagram, static_cast<size_t>(length));
    EXPECT_EQ(leave.substr(0, 2), "d|") << leave;
    EXPECT_NE(leave.find("|blah, blah"), std::string::npos) << leave;
}

// A key others can read is refused: said in the log, and the program runs on, receiving plain
// files. A lost key while paired computers are known: said too. A first start makes a key.
TEST(Program, TheKeyIsMadeOnceAndARefusedOrLostKeyIsSaidAndTheProgramRunsOn) {
    ZW_ENTER_OWN_NETWORK();
    ZingwellCopy fresh("fresh-key");
    const std::string freshKeys = fresh.UserRegistry().substr(0, fresh.UserRegistry().rfind('/'));
    ASSERT_TRUE(fresh.Start(""));
    ASSERT_TRUE(Soon([&] { return fresh.ListensOn(6677) || !fresh.Running(); })) << fresh.Output();
    EXPECT_TRUE(FileExists(freshKeys + "/identity.pem"));
    EXPECT_TRUE(fresh.StopsCleanly());

    ZingwellCopy shared("shared-key");
    const std::string keys = shared.UserRegistry().substr(0, shared.UserRegistry().rfind('/'));
    ASSERT_EQ(RunShell("mkdir -p '" + keys + "' && cp '" + freshKeys + "/identity.pem' '" + keys +
                       "/' && chmod 640 '" + keys + "/identity.pem'"),
              0);
    ASSERT_TRUE(shared.Start(""));
    EXPECT_TRUE(shared.LogShows("Secure transfers are off: ")) << shared.Log();
    EXPECT_TRUE(Soon([&] { return shared.ListensOn(6677) || !shared.Running(); }));
    EXPECT_TRUE(shared.StopsCleanly());

    ZingwellCopy lost("lost-key");
    const std::string lostKeys = lost.UserRegistry().substr(0, lost.UserRegistry().rfind('/'));
    ASSERT_EQ(RunShell("mkdir -p '" + lostKeys + "' && chmod 700 '" + lostKeys + "'"), 0);
    WriteFile(lostKeys + "/computers",
              "ZINGWELL-COMPUTERS 1\nk:" + std::string(64, 'a') + "\tpaired\t10.0.0.7\tBob\n");
    ASSERT_EQ(RunShell("chmod 600 '" + lostKeys + "/computers'"), 0);
    ASSERT_TRUE(lost.Start(""));
    EXPECT_TRUE(lost.LogShows("This computer's key was lost; your buddies must pair again.\n"))
        << lost.Log();
    EXPECT_TRUE(Soon([&] { return lost.ListensOn(6677) || !lost.Running(); }));
    EXPECT_TRUE(lost.StopsCleanly()) << lost.Output();
}

}  // namespace
