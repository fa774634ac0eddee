#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/XServer.h"
#include "app/ZingwellCopy.h"
#include "app/ZingwellScreen.h"
#include "support/Files.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

// A test on a virtual desktop such as users have (Xvfb, openbox and, if asked, trayer), in a
// network namespace of the test's own, where the real program starts as the desktop starts it.
class DesktopSession : public testing::Test {
protected:
    void SetUp() override {
        ZW_ENTER_OWN_NETWORK();
        folder_ = TestPaths::NewFolder("desktop");
    }

    // A display with a window manager (unless told not) and, if asked, a tray.
    void StartDesktop(bool tray, const std::string& screen = "1024x768x24",
                      bool windowManager = true) {
        const std::string log = folder_ + "/x.txt";
        ASSERT_TRUE(x_.Start("", log, screen)) << ReadFile(log);
        ASSERT_TRUE(!windowManager || x_.StartWindowManager()) << ReadFile(log);
        if (tray) {
            ASSERT_TRUE(x_.StartTray()) << ReadFile(log);
        }
    }

    // As the desktop starts it: no platform chosen, the display in the environment.
    bool Start(ZingwellCopy& copy, const std::vector<std::string>& env = {}) {
        std::vector<std::string> all = {"QT_QPA_PLATFORM=", "DISPLAY=" + x_.display()};
        all.insert(all.end(), env.begin(), env.end());
        return copy.Start("", all);
    }

    // Waits for the drop window (the dog) to show.
    bool FindDog(XServer::Window& dog) {
        return Soon([&] { return screen_.FindDog(dog); });
    }

    std::string folder_;
    XServer x_;
    ZingwellScreen screen_{x_};
};
