// What the receiving user is told, on a session bus of the test's own: a file sent by a second
// real copy on another "computer" (network namespaces joined by a veth pair) arrives, and a
// stream from that computer is cut off by a reset. Each is one desktop notification naming
// the file and the sender's address.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/SessionBus.h"
#include "app/ZingwellCopy.h"
#include "support/Files.h"
#include "support/NamespacePair.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/WireFormat.h"

namespace {

using Notes = std::vector<std::pair<std::string, std::string>>;

TEST(ArrivalNotification, AFileFromAnotherCopyAndACutOffStreamAreEachOneNotification) {
    std::optional<NamespacePair> net;
    ZW_MAKE_NAMESPACE_PAIR(net);
    if (!SessionBus::Available()) {
        ZW_SKIP_FOR_LACK_OF("dbus-daemon and dbus-monitor (packages dbus-daemon, dbus-bin)");
    }
    SessionBus bus;
    ASSERT_TRUE(bus.Start()) << bus.Seen();

    // A on its first run, its desktop session's bus in its environment; B, the sender, has none.
    ZingwellCopy a("a"), b("b");
    b.StoreMode(0, 1, 0, NamespacePair::kAddressA);
    a.AcceptStrangers();  // the subject is what A's user is told, not the question
    ASSERT_TRUE(a.Start(net->a, {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}));
    ASSERT_TRUE(b.Start(net->b, {"DBUS_SESSION_BUS_ADDRESS="}));
    ASSERT_TRUE(Soon([&] { return a.ListensOn(6677) || !a.Running(); })) << a.Output();

    // B's user sends a photo with `zingwell FILE`.
    const std::string files = TestPaths::NewFolder("files");
    const std::string photo = files + "/holiday <1> & co.jpg";
    WriteFile(photo, RandomBytes(400000, 3));
    std::string output;
    const int status = b.RunAgain({photo}, files, net->b, {"DBUS_SESSION_BUS_ADDRESS="}, &output);
    ASSERT_TRUE(ExitedWith(status)) << output;
    EXPECT_TRUE(Soon([&] {
        return ReadFile(a.ReceiveFolder() + "/holiday <1> & co.jpg") == ReadFile(photo);
    })) << a.Log()
        << b.Log();
    const std::string from = std::string(" from ") + NamespacePair::kAddressB;
    // Names may hold markup; the service may read bodies as markup: escaped.
    const Notes received = {{"File received", "holiday &lt;1&gt; &amp; co.jpg" + from}};
    EXPECT_TRUE(Soon([&] { return bus.Notifications() == received; })) << bus.Seen();
    // A file that came can be opened from its notification, or its folder shown.
    EXPECT_NE(bus.Seen().find("string \"Show in folder\""), std::string::npos) << bus.Seen();

    // From B's computer, a stream that breaks off with a reset once A is writing it.
    const int fd = ConnectInNamespace(net->b, NamespacePair::kAddressA, 6677);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, wire::EncodeHeader("half.iso", 900000) + RandomBytes(300000, 4)));
    ASSERT_TRUE(Soon([&] { return ReceivingInto(a.ReceiveFolder()); }));
    CloseWithReset(fd);
    Notes both = received;
    both.emplace_back("Receive failed", "half.iso" + from + ": nothing was kept");
    EXPECT_TRUE(Soon([&] { return bus.Notifications() == both; })) << bus.Seen();
    EXPECT_TRUE(a.LogShows("Error code 5\n")) << a.Log();
    EXPECT_FALSE(FileExists(a.ReceiveFolder() + "/half.iso"));

    for (ZingwellCopy* copy : {&a, &b}) {
        EXPECT_TRUE(copy->StopsCleanly()) << copy->Output();
    }
}

}  // namespace
