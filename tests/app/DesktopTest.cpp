// The real program on a virtual desktop such as users have (Xvfb, openbox, trayer), in a
// network namespace of the test's own, driven by the pointer and the keyboard (xdotool).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

#include <string>
#include <vector>

#include "app/DesktopSession.h"
#include "app/RealDrag.h"
#include "support/Network.h"

namespace {

class DesktopTest : public DesktopSession {
protected:
    // Right-click on the dog, then the menu's nth item by the keyboard, until `title` shows.
    bool OpenFromDogMenu(const XServer::Window& dog, int item, const std::string& title,
                         XServer::Window& window) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::string keys;
            for (int i = 0; i < item; ++i) {
                keys += " Down";
            }
            x_.Tool("mousemove " + std::to_string(dog.x + dog.width / 2) + " " +
                    std::to_string(dog.y + dog.height / 2) + " click 3 sleep 0.7 key" + keys +
                    " Return");
            if (WaitUntil([&] { return x_.FindWindow(title, window); }, std::chrono::seconds(5))) {
                return true;
            }
            x_.Tool("key Escape");
        }
        return false;
    }
};

TEST_F(DesktopTest, HelpVersionAndMistakesNeedNoDisplayAndNoDisplayIsOneLineNotAnAbort) {
    ZingwellCopy copy("no-display");
    const std::vector<std::string> none = {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="};
    std::string output;
    EXPECT_TRUE(ExitedWith(copy.RunAgain({"--help"}, folder_, "", none, &output), 0)) << output;
    EXPECT_EQ(output.rfind("Usage: zingwell [FILE...]\n", 0), 0u) << output;
    EXPECT_NE(output.find("  --version  show the version and exit\n"), std::string::npos);
    EXPECT_TRUE(ExitedWith(copy.RunAgain({"--version"}, folder_, "", none, &output), 0));
    EXPECT_EQ(output, "Zingwell 2.0.1\n");
    EXPECT_TRUE(ExitedWith(copy.RunAgain({"--frobnicate"}, folder_, "", none, &output), 2));
    EXPECT_EQ(output.rfind("zingwell: unknown option --frobnicate\nUsage:", 0), 0u) << output;
    EXPECT_FALSE(FileExists(copy.ReceiveFolder()));  // none of them started anything

    const int status = copy.RunAgain({}, folder_, "", none, &output);
    EXPECT_TRUE(ExitedWith(status, 1)) << status << "\n" << output;
    EXPECT_EQ(output,
              "zingwell: no display to show the dog on (DISPLAY and WAYLAND_DISPLAY are not set); "
              "start Zingwell from your desktop session\n");
    EXPECT_TRUE(
        ExitedWith(copy.RunAgain({}, folder_, "", {"QT_QPA_PLATFORM=", "DISPLAY=:97"}, &output), 1))
        << output;

    // A display that takes the connection and hangs up at once (one going away as Zingwell
    // starts): still one line and status 1, not Qt's abort.
    const int fake = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X96";  // in the abstract namespace: ours alone
    memcpy(address.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(fake, reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    ASSERT_EQ(listen(fake, 16), 0);
    std::thread hangUp([fake] {
        for (int client; (client = accept(fake, nullptr, nullptr)) >= 0;) {
            close(client);
        }
    });
    const int lost = copy.RunAgain({}, folder_, "", {"QT_QPA_PLATFORM=", "DISPLAY=:96"}, &output);
    shutdown(fake, SHUT_RDWR);
    hangUp.join();
    close(fake);
    EXPECT_TRUE(ExitedWith(lost, 1)) << lost << "\n" << output;
    EXPECT_NE(output.find("zingwell: cannot connect to the display; start Zingwell from your "
                          "desktop session\n"),
              std::string::npos)
        << output;
}

TEST_F(DesktopTest, ASecondStartShowsTheFirstDogAndQueuesItsFilesThereThenEnds) {
    StartDesktop(true);
    ZingwellCopy copy("second-start");
    copy.StoreMode(0, 0, 0, "10.9.9.9");  // no mode: files wait in the queue
    copy.LeaveInQueue({"/left/from/last/time"});
    ASSERT_TRUE(Start(copy));
    XServer::Window dog, tray;
    ASSERT_TRUE(FindDog(dog)) << copy.Output();
    // The tray icon, the small "Zingwell" window the tray holds: a click hides the dog.
    ASSERT_TRUE(Soon([&] { return x_.FindInTree("Zingwell", tray, 8, 40); }));
    x_.Tool("mousemove " + std::to_string(tray.x + tray.width / 2) + " " +
            std::to_string(tray.y + tray.height / 2) + " click 1");
    ASSERT_TRUE(Soon([&] { return !x_.FindWindow("^Zingwell$", dog, 91); }));

    // Started again from a terminal in the files' folder, with names relative to it.
    const std::string files = TestPaths::NewFolder("files");
    const std::string latin = "caf\xE9.txt";
    WriteFile(files + "/one.txt", "1");
    WriteFile(files + "/" + latin, "2");
    std::string output;
    const int status = copy.RunAgain({"one.txt", latin, "missing.txt"}, files, "",
                                     {"QT_QPA_PLATFORM=", "DISPLAY=" + x_.display()}, &output);
    // The missing name is said, the others handed over; this start ends, the first runs on.
    EXPECT_TRUE(ExitedWith(status, 1)) << status << "\n" << output;
    EXPECT_EQ(output, "zingwell: missing.txt: No such file or directory\n");
    EXPECT_TRUE(copy.Running());

    // The first copy shows its dog again and queues the files as a drop would: one queue.
    EXPECT_TRUE(FindDog(dog));
    EXPECT_TRUE(copy.Queues({"/left/from/last/time", files + "/one.txt", files + "/" + latin}))
        << copy.Queue();

    // No files: only the dog comes forward; the start ends with 0.
    EXPECT_TRUE(ExitedWith(copy.RunAgain({}, files, "", {"QT_QPA_PLATFORM=offscreen"}, &output), 0))
        << output;
    EXPECT_TRUE(copy.StopsCleanly()) << copy.Output();
}

TEST_F(DesktopTest, UnderOpenboxDialogsAreDialogsThatStayRestoredAndTheDogTakesDropsMeanwhile) {
    StartDesktop(false);
    ZingwellCopy copy("dialogs");
    copy.StoreMode(0, 0, 0, "10.9.9.9");  // no mode: files wait in the queue
    ASSERT_TRUE(Start(copy));
    XServer::Window dog, about, settings;
    ASSERT_TRUE(FindDog(dog)) << copy.Output();
    // On every workspace.
    EXPECT_TRUE(Soon([&] {
        return x_.Property(dog.id, "_NET_WM_DESKTOP").find("= 4294967295") != std::string::npos;
    })) << x_.Property(dog.id, "_NET_WM_DESKTOP");

    // The About box: a dialog, not a tool window that nothing brings back once minimised.
    ASSERT_TRUE(OpenFromDogMenu(dog, 9, "^About Zingwell$", about)) << copy.Output();
    EXPECT_NE(x_.Property(about.id, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_DIALOG"),
              std::string::npos);
    // openbox offers to minimise any dialog; the box comes straight back.
    x_.Tool("windowminimize " + about.id);
    usleep(500 * 1000);
    EXPECT_TRUE(Soon([&] {
        return x_.Property(about.id, "WM_STATE").find("Normal") != std::string::npos &&
               x_.FindWindow("^About Zingwell$", about);
    })) << x_.Property(about.id, "WM_STATE");

    // With the About box, the settings and the pairing's address open, a real drag onto the
    // dog still lands.
    ASSERT_TRUE(OpenFromDogMenu(dog, 4, "^Zingwell Settings$", settings)) << copy.Output();
    XServer::Window pair;
    ASSERT_TRUE(OpenFromDogMenu(dog, 3, "^Pair with buddy$", pair)) << copy.Output();
    const std::string file = TestPaths::NewFolder("files") + "/dropped.txt";
    WriteFile(file, "x");
    RealDrag drag{"", {file}, false, folder_};
    const std::string outcome = drag.Onto(x_, dog.x + dog.width / 2, dog.y + dog.height / 2);
    EXPECT_NE(outcome.find("drop action 1\n"), std::string::npos) << outcome;
    EXPECT_TRUE(copy.Queues({file})) << copy.Queue();
    EXPECT_TRUE(x_.FindWindow("^Zingwell Settings$", settings));
    EXPECT_TRUE(x_.FindWindow("^Pair with buddy$", pair));
    EXPECT_TRUE(copy.StopsCleanly()) << copy.Output();
}

TEST_F(DesktopTest, SendFilesAndSendAFolderOpenQtsOwnChoosersAndWhatIsTypedThereIsQueued) {
    StartDesktop(false);
    ZingwellCopy copy("chooser");
    copy.StoreMode(0, 0, 0, "10.9.9.9");  // no mode: files wait in the queue
    ASSERT_TRUE(Start(copy));
    XServer::Window dog, chooser;
    ASSERT_TRUE(FindDog(dog)) << copy.Output();
    ASSERT_TRUE(OpenFromDogMenu(dog, 1, "^Send files with Zingwell$", chooser)) << copy.Output();
    const std::string file = TestPaths::NewFolder("files") + "/typed.txt";
    WriteFile(file, "x");
    // The name field has the focus, as for any user who starts typing.
    usleep(500 * 1000);
    x_.Tool("type --delay 20 '" + file + "'");
    x_.Tool("key Return");
    EXPECT_TRUE(copy.Queues({file})) << copy.Queue() << copy.Output();
    EXPECT_TRUE(Soon([&] { return !x_.FindWindow("^Send files with Zingwell$", chooser); }));

    // A folder, from its own chooser: one entry of the queue.
    const std::string folder = TestPaths::NewFolder("chosen");
    ASSERT_TRUE(OpenFromDogMenu(dog, 2, "^Send a folder with Zingwell$", chooser)) << copy.Output();
    usleep(500 * 1000);
    x_.Tool("type --delay 20 '" + folder + "'");
    x_.Tool("key Return");
    EXPECT_TRUE(copy.Queues({file, folder})) << copy.Queue() << copy.Output();
    EXPECT_TRUE(copy.StopsCleanly()) << copy.Output();
}

TEST_F(DesktopTest, TheDogComesBackWhereItWasPutUnlessThatIsOffTheScreen) {
    StartDesktop(false);
    ZingwellCopy copy("position");
    copy.StoreMode(0, 0, 0, "10.9.9.9");  // no mode: files wait in the queue
    ASSERT_TRUE(Start(copy));
    XServer::Window first, moved, again;
    ASSERT_TRUE(FindDog(first)) << copy.Output();

    // Dragged by its middle to the lower left.
    const int fromX = first.x + first.width / 2, fromY = first.y + first.height / 2;
    std::string steps =
        "mousemove " + std::to_string(fromX) + " " + std::to_string(fromY) + " mousedown 1";
    for (int step = 1; step <= 5; ++step) {
        steps += " mousemove " + std::to_string(fromX - 120 * step) + " " +
                 std::to_string(fromY + 80 * step) + " sleep 0.1";
    }
    x_.Tool(steps + " mouseup 1");
    ASSERT_TRUE(
        Soon([&] { return x_.FindWindow("^Zingwell$", moved, 91) && moved.x == first.x - 600; }));
    EXPECT_EQ(moved.y, first.y + 400);
    EXPECT_TRUE(copy.StopsCleanly());

    ASSERT_TRUE(Start(copy));
    ASSERT_TRUE(FindDog(again)) << copy.Output();
    EXPECT_EQ(again.x, moved.x);
    EXPECT_EQ(again.y, moved.y);
    EXPECT_TRUE(copy.StopsCleanly());

    // Put on a screen that is no longer there: where a first start puts it.
    copy.StoreMode(0, 0, 0, "10.9.9.9", {"\"dogpos\"=\"3000,2000\""});
    ASSERT_TRUE(Start(copy));
    ASSERT_TRUE(FindDog(again)) << copy.Output();
    EXPECT_EQ(again.x, first.x);
    EXPECT_EQ(again.y, first.y);
    EXPECT_TRUE(copy.StopsCleanly());
}

TEST_F(DesktopTest, TheSettingsFitAScreenOf1280By800AtDoubleScaleOrWithLargeFonts) {
    StartDesktop(false, "1280x800x24");
    for (const std::string scaling : {"QT_SCALE_FACTOR=2", "QT_FONT_DPI=144"}) {
        ZingwellCopy copy("settings-fit");
        copy.StoreMode(0, 0, 0, "10.9.9.9");  // no mode: files wait in the queue
        ASSERT_TRUE(Start(copy, {scaling}));
        XServer::Window dog, settings;
        ASSERT_TRUE(FindDog(dog)) << scaling << "\n" << copy.Output();
        ASSERT_TRUE(OpenFromDogMenu(dog, 4, "^Zingwell Settings$", settings)) << scaling;
        // The frame included (openbox says how much it adds), once the window is placed.
        std::string where;
        const bool inside = WaitUntil(
            [&] {
                int left = 0, right = 0, top = 0, bottom = 0;
                const std::string extents = x_.Property(settings.id, "_NET_FRAME_EXTENTS");
                sscanf(extents.c_str() + extents.find('=') + 1, " %d, %d, %d, %d", &left, &right,
                       &top, &bottom);
                x_.FindWindow("^Zingwell Settings$", settings);
                where = std::to_string(settings.x - left) + "," + std::to_string(settings.y - top) +
                        " to " + std::to_string(settings.x + settings.width + right) + "," +
                        std::to_string(settings.y + settings.height + bottom);
                return settings.x - left >= 0 && settings.y - top >= 0 &&
                       settings.x + settings.width + right <= 1280 &&
                       settings.y + settings.height + bottom <= 800;
            },
            std::chrono::seconds(5));
        EXPECT_TRUE(inside) << scaling << ": " << where;
        EXPECT_TRUE(copy.StopsCleanly());
    }
}

}  // namespace
