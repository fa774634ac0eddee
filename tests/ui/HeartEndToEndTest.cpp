#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "settings/LiveSettings.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "ui/FakeWorkers.h"
#include "ui/MainDialog.h"
#include "ui/RealWorkerFactory.h"

namespace {

using Text = LiveSettingsStore::Text;

// Two drop windows with real workers: one sends, a second process receives.
TEST(HeartEndToEnd, TwoCopiesInManualModePassThreeFiles) {
    if (!EnterOwnNetworkNamespace()) {
        ZW_SKIP_FOR_LACK_OF("root for a network namespace of its own (fixed port 6677)");
    }
    const std::string otherHome = TestPaths::NewFolder("buddy-home");
    pid_t buddy = fork();
    ASSERT_GE(buddy, 0);
    if (buddy == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
        setenv("HOME", otherHome.c_str(), 1);
        LiveSettings.manual = 1;
        LiveSettings.server = 1;
        LiveSettings.Set(Text::serverport, "6677");
        RecordingView view;
        RealWorkerFactory workers;
        MainDialog heart(view, workers);
        heart.Initialize();
        for (;;)
            pause();
    }

    struct Reaper {
        pid_t pid;
        ~Reaper() {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reaper{buddy};

    std::vector<std::string> contents;
    std::vector<std::string> paths;
    const std::string source = TestPaths::NewFolder("to-send");
    for (int i = 0; i < 3; ++i) {
        contents.push_back(RandomBytes(100000 + 150000 * i, i + 1));
        paths.push_back(source + "/file-" + std::to_string(i) + ".bin");
        WriteFile(paths.back(), contents.back());
    }
    LiveSettings.manual = 1;
    LiveSettings.server = 0;
    LiveSettings.SetBuddy("127.0.0.1", "6677");
    RecordingView view;
    RecordingIconMaker icons;
    RealWorkerFactory workers;
    {
        MainDialog heart(view, workers);
        heart.SetIconMaker(&icons);
        heart.Initialize();
        // The buddy may still be starting.
        ASSERT_TRUE(WaitUntil([] {
            int fd = ConnectToLoopback(6677);
            if (fd >= 0)
                close(fd);
            return fd >= 0;
        }));
        heart.OnDropFiles(paths);
        ASSERT_TRUE(
            WaitUntil([&] { return heart.queue().Count() == 0; }, std::chrono::seconds(30)));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadFile(otherHome + "/Zingwell/file-" + std::to_string(i) + ".bin"), contents[i])
            << i;
    }
    EXPECT_FALSE(view.barVisible());
    EXPECT_TRUE(view.Messages().empty());
    CloseLog();
    const std::string log = ReadFile(GetReceiveFolder() + "/zingwelllog.txt");
    EXPECT_NE(log.find("Connected to buddy at 127.0.0.1\n"), std::string::npos);
}

TEST(HeartEndToEnd, AutomaticModeWithAFixedPortStartsTheReceiverTwiceAndTheSecondBindFails) {
    if (!EnterOwnNetworkNamespace()) {
        ZW_SKIP_FOR_LACK_OF("root for a network namespace of its own (fixed port 6677)");
    }
    LiveSettings.auto_ = 1;
    LiveSettings.manual = 0;
    LiveSettings.server = 1;
    RecordingView view;
    RealWorkerFactory workers;
    {
        MainDialog heart(view, workers);
        heart.Initialize();
        ASSERT_TRUE(WaitUntil([] {
            CloseLog();
            const std::string log = ReadFile(GetReceiveFolder() + "/zingwelllog.txt");
            return log.find("Listener: bind() failed\n") != std::string::npos &&
                   log.find("Listening for client...\n") != std::string::npos;
        }));
        int fd = ConnectToLoopback(6677);
        EXPECT_GE(fd, 0);  // the first one listens
        if (fd >= 0)
            close(fd);
    }
}

}  // namespace
