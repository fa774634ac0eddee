#include "net/GenSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "net/GetMyIp.h"
#include "net/StartNetwork.h"
#include "support/Network.h"
#include "support/Skip.h"

namespace {

int BoundPort(GenSocket& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    EXPECT_TRUE(socket.GetBoundAddress(reinterpret_cast<sockaddr*>(&address), &length));
    return ntohs(address.sin_port);
}

TEST(GenSocket, DatagramRoundTripOnLoopback) {
    GenSocket receiver;
    ASSERT_TRUE(receiver.Open(0, SOCK_DGRAM, "127.0.0.1"));
    const int port = BoundPort(receiver);

    GenSocket sender;
    ASSERT_TRUE(sender.OpenDatagram());
    const int handle = sender.handle();
    ASSERT_TRUE(sender.OpenDatagram());  // an open socket counts as success, unchanged
    EXPECT_EQ(sender.handle(), handle);
    EXPECT_EQ(sender.SendToHost("b|1.2.3.4|6677", 14, port, "127.0.0.1", 0), 14);

    char buffer[1024];
    char source[28];
    int sourcePort = 0;
    int n = receiver.ReceiveFrom(buffer, 1023, source, sizeof source, &sourcePort, 0);
    ASSERT_EQ(n, 14);
    EXPECT_EQ(std::string(buffer, 14), "b|1.2.3.4|6677");
    EXPECT_STREQ(source, "127.0.0.1");
    EXPECT_GT(sourcePort, 0);
}

TEST(GenSocket, AnOversizedDatagramIsAnErrorNotATruncatedMessage) {
    GenSocket receiver;
    ASSERT_TRUE(receiver.Open(0, SOCK_DGRAM, "127.0.0.1"));
    GenSocket sender;
    ASSERT_TRUE(sender.OpenDatagram());
    std::string big(1024, 'b');
    ASSERT_EQ(sender.SendToHost(big.data(), 1024, BoundPort(receiver), "127.0.0.1", 0), 1024);
    char buffer[1024];
    char source[28];
    int port = 0;
    errno = 0;
    EXPECT_EQ(receiver.ReceiveFrom(buffer, 1023, source, sizeof source, &port, 0), -1);
    EXPECT_EQ(errno, EMSGSIZE);
}

TEST(GenSocket, OpeningOperationsRefuseAnOpenSocket) {
    GenSocket listener;
    ASSERT_TRUE(listener.Open(0, SOCK_STREAM, "127.0.0.1"));
    ASSERT_TRUE(listener.Listen(5));
    EXPECT_FALSE(listener.Open(0, SOCK_DGRAM, nullptr));
    EXPECT_FALSE(listener.OpenMulticastReceiver(0, "225.6.7.8"));

    GenSocket client;
    ASSERT_TRUE(client.Open(0, SOCK_STREAM, nullptr));
    ASSERT_TRUE(client.ConnectToHost("127.0.0.1", BoundPort(listener)));
    GenSocket target;
    ASSERT_TRUE(target.OpenDatagram());
    const int targetHandle = target.handle();
    EXPECT_FALSE(listener.Accept(target));  // touches neither socket
    EXPECT_EQ(target.handle(), targetHandle);

    GenSocket accepted;
    EXPECT_TRUE(listener.Accept(accepted));
    EXPECT_NE(accepted.handle(), GenSocket::kNone);
    accepted.Close();
    accepted.Close();
    EXPECT_EQ(accepted.handle(), GenSocket::kNone);
}

TEST(GenSocket, BadAddressesLeaveEinval) {
    GenSocket socket;
    ASSERT_TRUE(socket.OpenDatagram());
    errno = 0;
    EXPECT_EQ(socket.SendToHost("x", 1, 9, "no-such-host.invalid", 0), 0);
    EXPECT_EQ(errno, EINVAL);
    GenSocket bound;
    errno = 0;
    EXPECT_FALSE(bound.Open(0, SOCK_DGRAM, "255.255.255.255"));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(bound.handle(), GenSocket::kNone);
    EXPECT_FALSE(bound.ConnectToHost(nullptr, 80));
    // No broadcast permission was given, so the system refuses the default destination.
    EXPECT_EQ(socket.SendToHost("x", 1, 9, nullptr, 0), -1);
}

TEST(GenSocket, WritingToAClosedPeerFailsInsteadOfKillingTheProcess) {
    ASSERT_TRUE(StartNetwork());
    int port = 0;
    int listenFd = ListenOnLoopback(port);
    ASSERT_GE(listenFd, 0);
    GenSocket client;
    ASSERT_TRUE(client.Open(0, SOCK_STREAM, nullptr));
    ASSERT_TRUE(client.ConnectToHost("127.0.0.1", port));
    int peer = accept(listenFd, nullptr, nullptr);
    close(peer);
    close(listenFd);
    std::string data(65536, 'x');
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) {
        result = client.Send(data.data(), static_cast<int>(data.size()), 0);
    }
    EXPECT_EQ(result, -1);
}

TEST(GetMyIp, NeedsRoomForAFullAddress) {
    char text[32];
    memset(text, 'z', sizeof text);
    EXPECT_FALSE(GetMyIp(text, 15));
    EXPECT_EQ(text[0], 'z');
    ASSERT_TRUE(GetMyIp(text, 16));
    EXPECT_LT(strlen(text), 16u);
    EXPECT_NE(inet_addr(text), INADDR_NONE);
}

TEST(GetMyIp, PrefersAnInterfaceAddressToALoopbackName) {
    ZW_ENTER_OWN_NETWORK();
    char text[28];
    ASSERT_TRUE(GetMyIp(text, sizeof text));
    EXPECT_EQ(std::string(text).rfind("127.", 0), 0u) << "only loopback so far: " << text;
    ASSERT_EQ(RunShell("ip link add zw0 type veth peer name zw1 && "
                       "ip addr add 10.77.0.9/24 dev zw0 && ip link set zw0 up && "
                       "ip link set zw1 up"),
              0);
    ASSERT_TRUE(GetMyIp(text, sizeof text));
    EXPECT_STREQ(text, "10.77.0.9");
}

}  // namespace
