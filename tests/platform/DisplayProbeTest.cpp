#include "platform/DisplayProbe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <map>

#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

namespace {

// A listening local socket, by path or in the abstract namespace (which is the test's own,
// in its network namespace).
int Listen(const std::string& name, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    memcpy(address.sun_path + offset, name.data(), name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

DisplayProbe::Choice Choose(const std::map<std::string, std::string>& env) {
    return DisplayProbe::Choose([&](const char* name) -> const char* {
        auto found = env.find(name);
        return found == env.end() ? nullptr : found->second.c_str();
    });
}

TEST(DisplayProbe, PrefersX11WhereverItAnswersAndSaysPlainlyWhenNothingDoes) {
    ZW_ENTER_OWN_NETWORK();
    const int x = Listen("/tmp/.X11-unix/X731", true);
    ASSERT_GE(x, 0);
    const std::string runtime = TestPaths::NewFolder("runtime");
    const int wayland = Listen(runtime + "/wayland-7", false);
    ASSERT_GE(wayland, 0);

    // XWayland in a Wayland session: X11, so that the dog stays on top and keeps its shape.
    EXPECT_EQ(
        Choose(
            {{"DISPLAY", ":731"}, {"WAYLAND_DISPLAY", "wayland-7"}, {"XDG_RUNTIME_DIR", runtime}})
            .platform,
        "xcb");
    EXPECT_EQ(Choose({{"DISPLAY", ":731.0"}}).platform, "xcb");
    // Wayland alone, named or by path; an X display that is named but gone does not count.
    for (const auto& env : {std::map<std::string, std::string>{{"WAYLAND_DISPLAY", "wayland-7"},
                                                               {"XDG_RUNTIME_DIR", runtime}},
                            {{"WAYLAND_DISPLAY", runtime + "/wayland-7"}, {"DISPLAY", ":732"}}}) {
        const DisplayProbe::Choice choice = Choose(env);
        EXPECT_EQ(choice.platform, "wayland");
        EXPECT_EQ(choice.error, "");
    }
    // The user's own choice stands, unless it cannot work.
    EXPECT_EQ(Choose({{"QT_QPA_PLATFORM", "offscreen"}}).error, "");
    EXPECT_EQ(Choose({{"QT_QPA_PLATFORM", "offscreen"}}).platform, "");
    EXPECT_EQ(Choose({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":731"}}).error, "");
    EXPECT_NE(Choose({{"QT_QPA_PLATFORM", "xcb"}}).error, "");
    EXPECT_NE(Choose({{"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ":731"}}).error, "");

    // Nothing at all, or only what cannot be reached: one line that says what to do.
    for (const auto& [env, expected] :
         {std::pair{std::map<std::string, std::string>{},
                    "no display to show the dog on (DISPLAY and WAYLAND_DISPLAY are not set); "
                    "start Zingwell from your desktop session"},
          std::pair{std::map<std::string, std::string>{{"DISPLAY", ":732"}},
                    "cannot connect to the X display :732; start Zingwell from your desktop "
                    "session"},
          std::pair{std::map<std::string, std::string>{{"WAYLAND_DISPLAY", "wayland-9"},
                                                       {"XDG_RUNTIME_DIR", runtime}},
                    "cannot connect to the Wayland display wayland-9; start Zingwell from your "
                    "desktop session"}}) {
        const DisplayProbe::Choice choice = Choose(env);
        EXPECT_EQ(choice.platform, "");
        EXPECT_EQ(choice.error, expected);
    }
    EXPECT_FALSE(DisplayProbe::XReachable("nonsense"));
    EXPECT_TRUE(DisplayProbe::XReachable("far.example:0"));  // over the network: on trust

    // A display of this computer reached over TCP (what a remote login's forwarding sets) is
    // asked like a local one: once the login that forwarded it is gone, it is gone.
    EXPECT_EQ(Choose({{"DISPLAY", "localhost:57.0"}}).error,
              "cannot connect to the X display localhost:57.0; start Zingwell from your "
              "desktop session");
    EXPECT_FALSE(DisplayProbe::XReachable("127.0.0.1:57"));
    sockaddr_in tcp{};
    tcp.sin_family = AF_INET;
    tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    tcp.sin_port = htons(6057);
    const int forwarded = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(forwarded, reinterpret_cast<sockaddr*>(&tcp), sizeof tcp), 0);
    ASSERT_EQ(listen(forwarded, 4), 0);
    EXPECT_EQ(Choose({{"DISPLAY", "localhost:57.0"}}).platform, "xcb");
    EXPECT_TRUE(DisplayProbe::XReachable("127.0.0.1:57"));
    close(forwarded);
    close(x);
    close(wayland);
}

}  // namespace
