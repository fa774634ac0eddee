#include "net/TcpStream.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>

#include "net/Waker.h"

namespace {

using namespace std::chrono_literals;

// A connected pair on loopback: `client` connects, `server` is accepted with a waker.
struct Pair {
    Waker waker;
    TcpStream listener{5s, nullptr};
    TcpStream client{5s, nullptr};
    TcpStream server{5s, &waker};

    Pair() {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_TRUE(listener.Create() && listener.Bind(local) && listener.Listen(1) &&
                    listener.LocalAddress(local));
        EXPECT_TRUE(client.Create() && client.Connect(local));
        EXPECT_TRUE(listener.Accept(server, &local.sin_addr));
    }
};

TEST(TcpStream, AWaitEndsAtTheStallTheDeadlineOrTheWakerAndSaysWhich) {
    Pair pair;
    char byte = 0;
    pair.server.SetStallTimeout(20ms);
    errno = 0;
    EXPECT_EQ(pair.server.Read(&byte, 1), -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    pair.server.SetStallTimeout(TcpStream::kNoStallLimit);
    pair.server.SetDeadline(net::Clock::now() - 1s);
    errno = 0;
    EXPECT_EQ(pair.server.Read(&byte, 1), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    pair.server.ClearDeadline();

    pair.waker.Wake();
    errno = 0;
    EXPECT_EQ(pair.server.Read(&byte, 1), -1);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_EQ(pair.server.WaitFor(ByteStream::Direction::Writable, net::kNoDeadline),
              net::Wait::Woken);
    pair.waker.Drain();  // a drained waker lets waits block again
    ASSERT_EQ(pair.client.Write("x", 1), 1);
    EXPECT_EQ(pair.server.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 'x');
}

TEST(TcpStream, ThePeersEndConfirmsOnlyWhenItTookEveryByteInOrder) {
    for (const bool orderly : {true, false}) {
        Pair pair;
        ASSERT_EQ(pair.client.Write("abc", 3), 3);
        ASSERT_TRUE(pair.client.EndOutput());
        char buffer[8];
        EXPECT_EQ(pair.server.Read(buffer, sizeof buffer), 3);
        EXPECT_EQ(pair.server.Read(buffer, sizeof buffer), 0);  // our end, seen by the peer
        if (orderly) {
            pair.server.Close();
        } else {
            pair.server.Reset();
        }
        EXPECT_EQ(pair.client.AwaitPeerEnd(net::DeadlineAfter(10s)), orderly);
    }
}

}  // namespace
