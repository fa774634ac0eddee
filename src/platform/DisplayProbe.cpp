#include "platform/DisplayProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace {

bool Set(const char* value) {
    return value != nullptr && value[0] != '\0';
}

// Connects to a local socket by path, or in the abstract namespace when abstract is set.
bool Listening(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) {
        return false;
    }
    memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0;
    close(fd);
    return ok;
}

// Connects to a TCP port of 127.0.0.1 (which refuses or accepts at once).
bool ListeningOnLoopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

bool DisplayProbe::XReachable(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    const bool numbered =
        !number.empty() && number.find_first_not_of("0123456789") == std::string::npos;
    if (host == "localhost" || host == "127.0.0.1") {
        // This computer over TCP, as a remote login forwards a display: asked at once, since
        // nothing but loopback is involved.
        return numbered && number.size() < 5 && ListeningOnLoopback(6000 + std::stoi(number));
    }
    if (!host.empty() && host != "unix") {
        // A path to a socket (some systems pass one), or a display over the network, which
        // is not ours to probe.
        return host[0] != '/' || Listening(host + display.substr(colon), false);
    }
    if (!numbered) {
        return false;
    }
    const std::string socket = "/tmp/.X11-unix/X" + number;
    return Listening(socket, true) || Listening(socket, false);
}

bool DisplayProbe::WaylandReachable(const std::string& display, const std::string& runtimeFolder) {
    if (display.empty()) {
        return false;
    }
    if (display[0] == '/') {
        return Listening(display, false);
    }
    return !runtimeFolder.empty() && Listening(runtimeFolder + "/" + display, false);
}

DisplayProbe::Choice DisplayProbe::Choose(const Environment& env) {
    const char* x = env("DISPLAY");
    const char* wayland = env("WAYLAND_DISPLAY");
    const char* runtime = env("XDG_RUNTIME_DIR");
    const bool haveX = Set(x) && XReachable(x);
    // A compositor that handed us its socket as a descriptor is there by definition.
    const bool haveWayland =
        Set(env("WAYLAND_SOCKET")) ||
        (Set(wayland) && WaylandReachable(wayland, Set(runtime) ? runtime : ""));
    auto noX = [&] {
        return Choice{"", Set(x) ? std::string("cannot connect to the X display ") + x +
                                       "; start Zingwell from your desktop session"
                                 : std::string("no X display (DISPLAY is not set); start "
                                               "Zingwell from your desktop session")};
    };
    auto noWayland = [&] {
        return Choice{"", Set(wayland) ? std::string("cannot connect to the Wayland display ") +
                                             wayland + "; start Zingwell from your desktop session"
                                       : std::string("no Wayland display (WAYLAND_DISPLAY is not "
                                                     "set); start Zingwell from your desktop "
                                                     "session")};
    };

    // The user's own choice stands; only a choice that cannot work is refused here.
    if (const char* chosen = env("QT_QPA_PLATFORM"); Set(chosen)) {
        const std::string name =
            std::string(chosen).substr(0, std::string(chosen).find_first_of(":;"));
        if (name == "xcb" && !haveX) {
            return noX();
        }
        if (name.rfind("wayland", 0) == 0 && !haveWayland) {
            return noWayland();
        }
        return {};
    }
    if (haveX) {
        return {"xcb", ""};
    }
    if (haveWayland) {
        return {"wayland", ""};
    }
    if (Set(x)) {
        return noX();
    }
    if (Set(wayland)) {
        return noWayland();
    }
    return {"",
            "no display to show the dog on (DISPLAY and WAYLAND_DISPLAY are not set); "
            "start Zingwell from your desktop session"};
}

DisplayProbe::Choice DisplayProbe::Choose() {
    return Choose([](const char* name) { return static_cast<const char*>(getenv(name)); });
}
