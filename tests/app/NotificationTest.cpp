// Desktop notifications as they reach a real session bus (a dbus-daemon of the test's own,
// watched with dbus-monitor): what the drop window's Notify sends, and how a burst is merged.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <string>
#include <vector>

#include "app/SessionBus.h"
#include "app/ZingwellCopy.h"
#include "heart/FakeWorkers.h"
#include "support/Files.h"
#include "support/Skip.h"
#include "ui/CDropWindow.h"

namespace {

TEST(Notification, ReachesTheSessionsNotificationServiceOneASecondWithBurstsMerged) {
    if (!SessionBus::Available()) {
        ZW_SKIP_FOR_LACK_OF("dbus-daemon and dbus-monitor (packages dbus-daemon, dbus-bin)");
    }
    SessionBus bus;
    ASSERT_TRUE(bus.Start()) << bus.Seen();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    FakeWorkerFactory workers;
    CDropWindow window(workers, [](int) {});
    window.Notify("File received", "a.jpg from 10.0.0.7");
    window.Notify("File received", "b <c> & d.jpg from 10.0.0.7");
    window.Notify("Receiving failed", "e.iso from 10.0.0.8");
    auto calls = [&] { return bus.Notifications(); };
    EXPECT_TRUE(WaitUntil(
        [&] {
            QApplication::processEvents();
            return calls().size() >= 2;
        },
        kPatience))
        << bus.Seen();
    // One more second: nothing else comes.
    WaitUntil(
        [&] {
            QApplication::processEvents();
            return false;
        },
        std::chrono::milliseconds(1200));
    // Bodies may be read as markup by the service: what looks like it is escaped.
    EXPECT_EQ(calls(), (std::vector<std::pair<std::string, std::string>>{
                           {"File received", "a.jpg from 10.0.0.7"},
                           {"File received, Receiving failed",
                            "b &lt;c&gt; &amp; d.jpg from 10.0.0.7\ne.iso from 10.0.0.8"}}))
        << bus.Seen();
}

}  // namespace
