// Desktop notifications as they reach a real session bus (a dbus-daemon of the test's own,
// watched with dbus-monitor): what the drop window's Notify sends, and how a burst is merged.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/ChildProgram.h"
#include "app/ZingwellCopy.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "ui/CDropWindow.h"
#include "ui/FakeWorkers.h"

namespace {

// Summary and body of each Notify call dbus-monitor saw, in order.
std::vector<std::pair<std::string, std::string>> NotifyCalls(const std::string& monitor) {
    std::vector<std::pair<std::string, std::string>> calls;
    size_t at = 0;
    while ((at = monitor.find("member=Notify\n", at)) != std::string::npos) {
        at += 14;
        const size_t end = monitor.find("\nmethod ", at);
        const std::string block = monitor.substr(at, end == std::string::npos ? end : end - at);
        std::vector<std::string> texts;
        const std::regex text("string \"([^\"]*)\"");
        for (auto it = std::sregex_iterator(block.begin(), block.end(), text);
             it != std::sregex_iterator(); ++it) {
            texts.push_back((*it)[1]);
        }
        // app name, icon, summary, body, then the hints' keys and values
        if (texts.size() >= 4) {
            calls.emplace_back(texts[2], texts[3]);
        }
    }
    return calls;
}

TEST(Notification, ReachesTheSessionsNotificationServiceOneASecondWithBurstsMerged) {
    if (RunShell("command -v dbus-daemon >/dev/null && command -v dbus-monitor >/dev/null") != 0) {
        ZW_SKIP_FOR_LACK_OF("dbus-daemon and dbus-monitor (packages dbus-daemon, dbus-bin)");
    }
    const std::string folder = TestPaths::NewFolder("bus");
    const std::string address = "unix:path=" + folder + "/bus";
    ChildProgram bus, monitor;
    ChildProgram::Options options;
    options.output = folder + "/bus.txt";
    ASSERT_TRUE(bus.Start(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address}, options));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(folder + "/bus"); }, kPatience));
    options.output = folder + "/monitor.txt";
    ASSERT_TRUE(monitor.Start(
        {"dbus-monitor", "--address", address, "interface='org.freedesktop.Notifications'"},
        options));
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ReadFile(options.output).find("NameLost") != std::string::npos ||
                   ReadFile(options.output).find("NameAcquired") != std::string::npos;
        },
        kPatience))
        << ReadFile(options.output);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

    FakeWorkerFactory workers;
    CDropWindow window(workers, [](int) {});
    window.Notify("File received", "a.jpg from 10.0.0.7");
    window.Notify("File received", "b <c> & d.jpg from 10.0.0.7");
    window.Notify("Receiving failed", "e.iso from 10.0.0.8");
    auto calls = [&] { return NotifyCalls(ReadFile(options.output)); };
    EXPECT_TRUE(WaitUntil(
        [&] {
            QApplication::processEvents();
            return calls().size() >= 2;
        },
        kPatience))
        << ReadFile(options.output);
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
        << ReadFile(options.output);
    monitor.Stop(SIGTERM, kPatience);
    bus.Stop(SIGTERM, kPatience);
}

}  // namespace
