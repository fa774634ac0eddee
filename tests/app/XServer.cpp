#include "app/XServer.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "app/ZingwellCopy.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/TestPaths.h"

XServer::~XServer() {
    tray_.Stop(SIGTERM, kPatience);
    windowManager_.Stop(SIGTERM, kPatience);
    server_.Stop(SIGTERM, kPatience);
}

bool XServer::MakeSocketFolder(std::string& error) {
    const char* folder = "/tmp/.X11-unix";
    // Private until it is root's: /tmp is sticky, so no one else can swap it in between.
    const bool made = mkdir(folder, 0700) == 0;
    if (!made && errno != EEXIST) {
        error = std::string("cannot make ") + folder + ": " + strerror(errno);
        return false;
    }
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = std::string(folder) + " is not a folder (a link?): " + strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    if (!ok) {
        error = std::string("cannot read ") + folder + ": " + strerror(errno);
    } else if (made) {
        ok = fchown(fd, 0, 0) == 0 && fchmod(fd, 01777) == 0;
        error = ok ? "" : std::string("cannot give ") + folder + " to root: " + strerror(errno);
    } else if (info.st_uid != 0) {
        ok = false;
        error = std::string(folder) + " belongs to user " + std::to_string(info.st_uid);
    }
    close(fd);
    return ok;
}

bool XServer::Start(const std::string& netns, const std::string& log, const std::string& screen) {
    netns_ = netns;
    log_ = log;
    // -displayfd 1: the server picks a free display and writes its number to the log.
    ChildProcess::Options options;
    options.netns = netns;
    options.output = log;
    // Only the abstract socket, which is the namespace's own: a display of another test in
    // another namespace, sharing /tmp, can neither reach it nor remove it.
    // -noreset: an X server resets when its last client leaves, and one that connects in that
    // moment is refused; the first tool's check and a program's start would race it.
    if (!server_.Start({"Xvfb", "-displayfd", "1", "-noreset", "-screen", "0", screen, "-nolisten",
                        "tcp", "-nolisten", "unix"},
                       options)) {
        return false;
    }
    const bool ready = Soon([&] {
        std::istringstream lines(ReadFile(log));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                display_ = ":" + line;
                return true;
            }
        }
        return !server_.Running();
    });
    return ready && !display_.empty() && Tool("getmouselocation") == 0;
}

bool XServer::StartHelper(ChildProcess& program, const std::vector<std::string>& argv) {
    ChildProcess::Options options;
    options.netns = netns_;
    options.output = log_;
    options.env = {"DISPLAY=" + display_};
    return program.Start(argv, options);
}

bool XServer::StartWindowManager() {
    // Ready once it has taken over the screen: a window mapped sooner may be lost in between.
    const std::string ready = TestPaths::NewFolder("openbox") + "/ready";
    return StartHelper(windowManager_, {"openbox", "--startup", "touch " + ready}) &&
           Soon([&] { return FileExists(ready); });
}

bool XServer::StartTray() {
    return StartHelper(tray_,
                       {"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                        "--width", "64", "--height", "26", "--SetDockType", "true"}) &&
           Soon([&] { return Tool("search --onlyvisible --class trayer") == 0; });
}

int XServer::Run(const std::string& command, std::string* output) const {
    // A file of its own for each call: threads of a test may ask the screen at once.
    const std::string file = TestPaths::NewFolder("x-command") + "/out.txt";
    const std::string prefix = netns_.empty() ? "" : "ip netns exec " + netns_ + " ";
    const int status =
        RunShell(prefix + "env DISPLAY=" + display_ + " " + command + " >" + file + " 2>&1");
    if (output != nullptr) {
        *output = ReadFile(file);
    }
    unlink(file.c_str());
    rmdir(file.substr(0, file.rfind('/')).c_str());
    return status;
}

int XServer::Tool(const std::string& args, std::string* output) const {
    return Run("xdotool " + args, output);
}

bool XServer::FindWindow(const std::string& pattern, Window& window, int minSide,
                         int maxSide) const {
    const std::vector<Window> found = FindWindows(pattern, minSide, maxSide);
    if (found.empty()) {
        return false;
    }
    window = found.front();
    return true;
}

bool XServer::FindSettledWindow(const std::string& pattern, Window& window,
                                std::chrono::milliseconds still) const {
    using Clock = std::chrono::steady_clock;
    Window last;
    Clock::time_point since = Clock::now();
    return Soon([&] {
        Window now;
        if (!FindWindow(pattern, now)) {
            last = Window{};
            since = Clock::now();
            return false;
        }
        if (now.id != last.id || now.x != last.x || now.y != last.y || now.width != last.width ||
            now.height != last.height) {
            last = now;
            since = Clock::now();
        }
        window = last;
        return Clock::now() - since >= still;
    });
}

std::vector<XServer::Window> XServer::FindWindows(const std::string& pattern, int minSide,
                                                  int maxSide) const {
    std::string found;
    Tool("search --onlyvisible --name \"" + pattern + "\" getwindowgeometry --shell %@", &found);
    std::istringstream lines(found);
    std::string line;
    Window candidate;
    std::vector<Window> windows;
    while (std::getline(lines, line)) {
        auto value = [&](const char* key) { return atoi(line.c_str() + strlen(key)); };
        if (line.rfind("WINDOW=", 0) == 0) {
            candidate = Window{line.substr(7)};
        } else if (line.rfind("X=", 0) == 0) {
            candidate.x = value("X=");
        } else if (line.rfind("Y=", 0) == 0) {
            candidate.y = value("Y=");
        } else if (line.rfind("WIDTH=", 0) == 0) {
            candidate.width = value("WIDTH=");
        } else if (line.rfind("HEIGHT=", 0) == 0) {
            candidate.height = value("HEIGHT=");
            if (std::min(candidate.width, candidate.height) > minSide &&
                std::max(candidate.width, candidate.height) <= maxSide) {
                windows.push_back(candidate);
            }
        }
    }
    // xdotool adds a framed window's place in its frame to where it is: xwininfo says it right.
    for (Window& window : windows) {
        std::string info;
        Run("xwininfo -id " + window.id, &info);
        const size_t x = info.find("Absolute upper-left X:");
        const size_t y = info.find("Absolute upper-left Y:");
        if (x != std::string::npos && y != std::string::npos) {
            window.x = atoi(info.c_str() + x + 22);
            window.y = atoi(info.c_str() + y + 22);
        }
    }
    return windows;
}

bool XServer::FindInTree(const std::string& name, Window& window, int minSide, int maxSide) const {
    std::string tree;
    Run("xwininfo -root -tree", &tree);
    std::istringstream lines(tree);
    std::string line;
    while (std::getline(lines, line)) {
        // 0x600006 "Zingwell": ("zingwell" "Zingwell")  22x24+0+0  +1001+743
        const size_t quoted = line.find(" \"" + name + "\": ");
        if (quoted == std::string::npos) {
            continue;
        }
        Window found;
        std::istringstream(line) >> found.id;
        const size_t size = line.find("  ", line.find(')', quoted));
        if (size == std::string::npos ||
            sscanf(line.c_str() + size, " %dx%d%*[+-]%*d%*[+-]%*d +%d+%d", &found.width,
                   &found.height, &found.x, &found.y) != 4) {
            continue;
        }
        if (std::min(found.width, found.height) > minSide &&
            std::max(found.width, found.height) <= maxSide) {
            window = found;
            return true;
        }
    }
    return false;
}

std::string XServer::Property(const std::string& id, const std::string& name) const {
    std::string output;
    Run("xprop -id " + id + " " + name, &output);
    return output;
}

std::vector<XServer::Pixel> XServer::Pixels(const Window& area) const {
    const std::string file = TestPaths::NewFolder("x-pixels") + "/area.rgb";  // as Run
    std::vector<Pixel> pixels;
    if (area.width <= 0 || area.height <= 0 ||
        Run("import -window root -crop " + std::to_string(area.width) + "x" +
            std::to_string(area.height) + "+" + std::to_string(area.x) + "+" +
            std::to_string(area.y) + " -depth 8 rgb:" + file) != 0) {
        return pixels;
    }
    const std::string bytes = ReadFile(file);
    if (bytes.size() != static_cast<size_t>(area.width) * static_cast<size_t>(area.height) * 3) {
        return pixels;
    }
    for (size_t i = 0; i + 2 < bytes.size(); i += 3) {
        pixels.push_back({static_cast<unsigned char>(bytes[i]),
                          static_cast<unsigned char>(bytes[i + 1]),
                          static_cast<unsigned char>(bytes[i + 2])});
    }
    return pixels;
}
