// Two real desktop programs on two "computers": network namespaces joined by a veth pair,
// each copy with its own home and registry. A file left queued by an earlier run on A has to
// reach B: found by discovery in automatic mode, sent by a real drop in manual mode.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/RealDrag.h"
#include "app/XServer.h"
#include "app/ZingwellCopy.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/NamespacePair.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

namespace {

class TwoProgramsTest : public testing::Test {
protected:
    void SetUp() override {
        ZW_MAKE_NAMESPACE_PAIR(net_);
        files_ = TestPaths::NewFolder("files");
    }

    // A file of A's, left in A's queue as an earlier run would have left it.
    std::string LeftOver(ZingwellCopy& a, const std::string& name, size_t size, uint32_t seed) {
        const std::string path = files_ + "/" + name;
        WriteFile(path, RandomBytes(size, seed));
        a.LeaveInQueue({path});
        return path;
    }

    // Waits until B holds a copy of the file, whole.
    static bool Arrives(ZingwellCopy& b, const std::string& path) {
        const std::string sent = ReadFile(path);
        const std::string name = path.substr(path.rfind('/') + 1);
        return Soon([&] { return ReadFile(b.ReceiveFolder() + "/" + name) == sent; });
    }

    // The desktop ends both: each says goodbye and ends with status 0.
    static void EndCleanly(ZingwellCopy& copy) {
        EXPECT_TRUE(copy.StopsCleanly()) << copy.Output();
        EXPECT_TRUE(copy.LogEndsCleanly()) << copy.Log();
    }

    std::optional<NamespacePair> net_;
    std::string files_;
};

TEST_F(TwoProgramsTest, AutomaticModeFindsTheBuddyAndSendsWhatWasLeftQueued) {
    ZingwellCopy a("auto-a"), b("auto-b");
    a.StoreMode(1, 0, 0, "255.255.255.255", {ZingwellCopy::kAcceptStrangers});
    b.StoreMode(1, 0, 0, "255.255.255.255", {ZingwellCopy::kAcceptStrangers});
    const std::string file = LeftOver(a, "left from last time.bin", 250000, 11);

    ASSERT_TRUE(a.Start(net_->a));
    // A listens and hears the group before B starts, so B's first announce finds it.
    ASSERT_TRUE(Soon([&] { return a.ListensOn(6677) && a.HasUdpPort(1024); })) << a.Output();
    ASSERT_TRUE(b.Start(net_->b));

    EXPECT_TRUE(Arrives(b, file)) << a.Output() << b.Output();
    EXPECT_TRUE(a.Queues({})) << a.Queue();
    EndCleanly(a);
    EndCleanly(b);
    EXPECT_TRUE(a.LogShows(std::string("Found buddy at address: ") + NamespacePair::kAddressB +
                           "; port: 6677\n"))
        << a.Log();
}

TEST_F(TwoProgramsTest, ManualModeSendsTheQueueWhenFilesAreDroppedForRealNamesAsBytes) {
    ZingwellCopy a("manual-a"), b("manual-b");
    a.StoreMode(0, 1, 0, NamespacePair::kAddressB);
    b.StoreMode(0, 1, 1, "255.255.255.255", {ZingwellCopy::kAcceptStrangers});
    const std::string leftOver = LeftOver(a, "left from last time.txt", 5000, 21);
    const std::string dropped = files_ + "/dropped now.bin";
    WriteFile(dropped, RandomBytes(150000, 22));
    // Named on a system whose names are Latin-1: not UTF-8.
    const std::string latin = files_ + "/caf\xE9 d\xE9j\xE0.bin";
    WriteFile(latin, RandomBytes(70000, 23));

    // A on a display of its own, where a pointer can drag; B needs none.
    XServer x;
    ASSERT_TRUE(x.Start(net_->a, files_ + "/xvfb.txt")) << ReadFile(files_ + "/xvfb.txt");
    ASSERT_TRUE(b.Start(net_->b));
    ASSERT_TRUE(a.Start(net_->a, {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display()}));
    ASSERT_TRUE(Soon([&] { return b.ListensOn(6677); })) << b.Output();

    // The drop window: the visible "Zingwell" window, the dog in its middle.
    XServer::Window dog;
    ASSERT_TRUE(Soon([&] { return x.FindWindow("^Zingwell$", dog, 91); })) << a.Output();
    // Nothing leaves before a drop in manual mode.
    EXPECT_FALSE(FileExists(b.ReceiveFolder() + "/left from last time.txt"));

    // A file manager's drag, moved by the pointer from its window onto the dog; it would
    // rather move the files, and the dog copies them.
    RealDrag drag{net_->a, {dropped, latin}, true, files_};
    const std::string outcome = drag.Onto(x, dog.x + dog.width / 2, dog.y + dog.height / 2, [&] {
        // The dog reads the URLs at once, so by the time the first file reaches B, it has them.
        EXPECT_TRUE(Arrives(b, leftOver)) << a.Output() << b.Output();
    });
    ASSERT_NE(outcome.find("drop action 1\n"), std::string::npos) << outcome;  // a copy

    // After what was left over, what was dropped follows, under the same bytes.
    EXPECT_TRUE(Arrives(b, dropped)) << a.Output() << b.Output();
    EXPECT_TRUE(Arrives(b, latin)) << a.Output() << b.Output() << a.Log();
    EXPECT_TRUE(a.Queues({})) << a.Queue();
    EXPECT_TRUE(FileExists(dropped) && FileExists(latin));  // copied, not moved
    EndCleanly(a);
    EndCleanly(b);
}

}  // namespace
