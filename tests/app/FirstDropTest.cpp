// A new user's first drops, on a virtual desktop with a window manager and a tray, in a network
// namespace of the test's own. On a first run no buddy is set: the drop says so, opens the
// settings and keeps the file. With an address no buddy answers at, the drop says that, and
// the files still wait. What the user sees is read from the screen (the tray icon's colour,
// the bar) and from the windows (the boxes, the settings); a box's text from the log line that
// a second drop writes while the same box is still open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/DesktopSession.h"
#include "app/RealDrag.h"
#include "support/Network.h"

namespace {

using Icon = ZingwellScreen::Icon;

const char kNoBuddy[] =
    "No buddy is set. Enter your buddy's address in Settings; the files wait in the queue.";
const char kUnreachable[] =
    "Could not connect to your buddy at 10.9.9.9, port 6677. The files wait in the queue and go "
    "with your next drop.";

class FirstDropTest : public DesktopSession {
protected:
    void SetUp() override {
        DesktopSession::SetUp();
        files_ = TestPaths::NewFolder("files");
        if (!IsSkipped() && !HasFailure()) {
            StartDesktop(true);
        }
    }

    // As the desktop starts it; once its dog and its tray icon show.
    void Start(ZingwellCopy& copy, XServer::Window& dog) {
        ASSERT_TRUE(DesktopSession::Start(copy));
        ASSERT_TRUE(FindDog(dog)) << copy.Output();
        ASSERT_TRUE(Soon([&] { return screen_.TrayIcon() == Icon::Dog; }))
            << ZingwellScreen::Name(screen_.TrayIcon());
    }

    std::string NewFile(const std::string& name) {
        const std::string path = files_ + "/" + name;
        WriteFile(path, "contents of " + name);
        return path;
    }

    // `zingwell FILE` from a terminal: the running copy queues it as a drop.
    void HandOver(ZingwellCopy& copy, const std::string& path) {
        std::string output;
        const int status =
            copy.RunAgain({path}, files_, "", {"QT_QPA_PLATFORM=offscreen"}, &output);
        ASSERT_TRUE(ExitedWith(status)) << output;
    }

    // After a drop nothing could be sent for: one box, the red icon, no bar, all still queued.
    void ExpectTheFailureShown(ZingwellCopy& copy, const XServer::Window& dog,
                               const std::vector<std::string>& queued) {
        EXPECT_TRUE(Soon([&] { return screen_.MessageBoxes().size() == 1; }))
            << screen_.MessageBoxes().size() << " boxes\n"
            << copy.Log();
        EXPECT_TRUE(Soon([&] { return screen_.TrayIcon() == Icon::Red; }))
            << ZingwellScreen::Name(screen_.TrayIcon());
        EXPECT_TRUE(Soon([&] { return !screen_.BarShown(dog); }));
        EXPECT_TRUE(copy.Queues(queued)) << copy.Queue();
    }

    std::string files_;
};

TEST_F(FirstDropTest, NoBuddySetOrNoneAnsweringIsSaidTheIconTurnsRedAndTheFilesStayQueued) {
    ZingwellCopy copy("first-run");
    XServer::Window dog, settings;
    Start(copy, dog);
    EXPECT_TRUE(screen_.MessageBoxes().empty());

    // The first file, dragged from a file manager onto the dog.
    const std::string first = NewFile("first.txt");
    RealDrag drag{"", {first}, false, folder_};
    const std::string outcome = drag.Onto(x_, dog.x + dog.width / 2, dog.y + dog.height / 2);
    ASSERT_NE(outcome.find("drop action 1\n"), std::string::npos) << outcome;
    ExpectTheFailureShown(copy, dog, {first});
    EXPECT_TRUE(copy.LogShows("No buddy address set; the files wait in the queue\n")) << copy.Log();

    // Another while the box is open: the same message, not a second box; the settings come
    // once the user has read it.
    const std::string second = NewFile("second.txt");
    HandOver(copy, second);
    EXPECT_TRUE(copy.LogShows(std::string("Not shown again while open: ") + kNoBuddy + "\n"))
        << copy.Log();
    ExpectTheFailureShown(copy, dog, {first, second});
    EXPECT_FALSE(x_.FindWindow("^Zingwell Settings$", settings));
    const std::vector<XServer::Window> boxes = screen_.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    ASSERT_TRUE(screen_.Answer(boxes.front()));
    ASSERT_TRUE(x_.FindSettledWindow("^Zingwell Settings$", settings)) << copy.Output();
    EXPECT_TRUE(screen_.MessageBoxes().empty());

    // The user types the buddy's address (one no buddy answers at) and presses Return (OK).
    // The address field's middle, in the dialog's units (220 by 299).
    const int fieldX = settings.x + (82 + 32) * settings.width / 220;
    const int fieldY = settings.y + (99 + 6) * settings.height / 299;
    x_.Tool("mousemove " + std::to_string(fieldX) + " " + std::to_string(fieldY) +
            " click 1 sleep 0.2 key ctrl+a type 10.9.9.9");
    x_.Tool("key Return");
    EXPECT_TRUE(Soon([&] { return !x_.FindWindow("^Zingwell Settings$", settings); }));
    EXPECT_NE(ReadFile(copy.UserRegistry()).find("\"servaddr\"=\"10.9.9.9\""), std::string::npos)
        << ReadFile(copy.UserRegistry());

    // Started again later: the files are still queued, the icon plain until the next drop.
    EXPECT_EQ(copy.Stop(), 0);
    Start(copy, dog);
    EXPECT_EQ(copy.Queue(), ZingwellCopy::QueueText({first, second}));
    const std::string third = NewFile("third.txt");
    HandOver(copy, third);
    ExpectTheFailureShown(copy, dog, {first, second, third});
    EXPECT_TRUE(copy.LogShows("Failed to connect to 10.9.9.9\n")) << copy.Log();
    const std::string fourth = NewFile("fourth.txt");
    HandOver(copy, fourth);
    EXPECT_TRUE(copy.LogShows(std::string("Not shown again while open: ") + kUnreachable + "\n"))
        << copy.Log();
    ExpectTheFailureShown(copy, dog, {first, second, third, fourth});
    EXPECT_FALSE(x_.FindWindow("^Zingwell Settings$", settings));
    EXPECT_EQ(copy.Stop(), 0) << copy.Output();
}

}  // namespace
