// The real program in a Wayland session (Weston, headless), with X11 beside it (XWayland) and
// without, in a network namespace of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "app/XServer.h"
#include "app/ZingwellCopy.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

namespace {

// The Qt platform plugins the program has loaded.
std::string Platforms(pid_t pid) {
    const std::string maps = ReadFile("/proc/" + std::to_string(pid) + "/maps");
    std::string found;
    for (const char* plugin : {"libqxcb.so", "libqwayland-generic.so", "libqoffscreen.so"}) {
        if (maps.find(plugin) != std::string::npos) {
            found += std::string(found.empty() ? "" : " ") + plugin;
        }
    }
    return found;
}

class WaylandTest : public testing::Test {
protected:
    void SetUp() override {
        if (RunShell("command -v weston >/dev/null") != 0) {
            ZW_SKIP_FOR_LACK_OF("weston (packages weston, qt6-wayland, xwayland)");
        }
        ZW_ENTER_OWN_NETWORK();
        runtime_ = TestPaths::NewFolder("weston-runtime");
        chmod(runtime_.c_str(), 0700);
        socket_ = runtime_ + "/wayland-zw";
    }

    // Weston without a screen; with --xwayland it also serves X11 clients.
    void StartWeston(bool xwayland) {
        log_ = runtime_ + "/weston.txt";
        ChildProcess::Options options;
        options.env = {"XDG_RUNTIME_DIR=" + runtime_};
        options.output = runtime_ + "/weston-output.txt";
        std::vector<std::string> argv = {"weston", "--backend=headless-backend.so",
                                         "--socket=wayland-zw", "--idle-time=0", "--log=" + log_};
        if (xwayland) {
            std::string error;
            ASSERT_TRUE(XServer::MakeSocketFolder(error)) << error;
            argv.push_back("--xwayland");
        }
        ASSERT_TRUE(weston_.Start(argv, options));
        ASSERT_TRUE(Soon([&] { return FileExists(socket_) || !weston_.Running(); }));
        ASSERT_TRUE(weston_.Running()) << ReadFile(log_) << ReadFile(options.output);
        if (xwayland) {
            std::smatch match;
            ASSERT_TRUE(Soon([&] {
                const std::string text = ReadFile(log_);
                if (std::regex_search(text, match, std::regex("listening on display (:[0-9]+)"))) {
                    display_ = match[1];
                    return true;
                }
                return false;
            })) << ReadFile(log_);
        }
    }

    void TearDown() override { weston_.Stop(SIGTERM, kPatience); }

    std::string runtime_, socket_, log_, display_;
    ChildProcess weston_;
};

TEST_F(WaylandTest, WithXWaylandTheProgramRunsOnX11WhereTheDogStaysOnTopAndKeepsItsShape) {
    StartWeston(true);
    ZingwellCopy copy("xwayland");
    ASSERT_TRUE(
        copy.Start("", {"QT_QPA_PLATFORM=", "WAYLAND_DISPLAY=" + socket_, "DISPLAY=" + display_}));
    ASSERT_TRUE(Soon([&] {
        return RunShell("env DISPLAY=" + display_ +
                        " xdotool search --onlyvisible --name '^Zingwell$' >/dev/null 2>&1") == 0 ||
               !copy.Running();
    })) << copy.Output();
    EXPECT_EQ(Platforms(copy.pid()), "libqxcb.so") << copy.Output();
    EXPECT_TRUE(copy.StopsCleanly()) << copy.Output();
}

TEST_F(WaylandTest, OnWaylandAloneTheProgramRunsThereAndEndsCleanly) {
    StartWeston(false);
    ZingwellCopy copy("wayland");
    ASSERT_TRUE(copy.Start("", {"QT_QPA_PLATFORM=", "WAYLAND_DISPLAY=" + socket_, "DISPLAY="}));
    ASSERT_TRUE(Soon([&] { return FileExists(copy.ReceiveFolder()) || !copy.Running(); }));
    usleep(500 * 1000);  // its window made and shown
    ASSERT_TRUE(copy.Running()) << copy.Output();
    EXPECT_EQ(Platforms(copy.pid()), "libqwayland-generic.so") << copy.Output();
    // No tray there: the log says where the menu is. A second start, given its activation
    // token by the desktop, hands it to the first copy to come forward with, and ends.
    EXPECT_TRUE(copy.LogShows("No system tray found; use the dog's own menu (right-click)\n"))
        << copy.Log();
    std::string output;
    const int again = copy.RunAgain({}, TestPaths::Root(), "",
                                    {"QT_QPA_PLATFORM=", "WAYLAND_DISPLAY=" + socket_,
                                     "DISPLAY=", "XDG_ACTIVATION_TOKEN=zw-token-42"},
                                    &output);
    EXPECT_TRUE(ExitedWith(again)) << output;
    EXPECT_TRUE(copy.LogShows("Asked to come forward, with an activation token\n")) << copy.Log();
    EXPECT_TRUE(copy.StopsCleanly()) << copy.Output();
    EXPECT_TRUE(copy.LogEndsCleanly()) << copy.Log();
}

}  // namespace
