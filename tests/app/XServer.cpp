#include "app/XServer.h"

#include <signal.h>

#include <sstream>

#include "app/ZingwellCopy.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/TestPaths.h"

XServer::~XServer() {
    server_.Stop(SIGTERM, kPatience);
}

bool XServer::Start(const std::string& netns, const std::string& log) {
    netns_ = netns;
    log_ = log;
    // -displayfd 1: the server picks a free display and writes its number to the log.
    ChildProgram::Options options;
    options.netns = netns;
    options.output = log;
    if (!server_.Start(
            {"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            options)) {
        return false;
    }
    const bool ready = WaitUntil(
        [&] {
            std::istringstream lines(ReadFile(log));
            std::string line;
            while (std::getline(lines, line)) {
                if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                    display_ = ":" + line;
                    return true;
                }
            }
            return !server_.Running();
        },
        kPatience);
    return ready && !display_.empty() && Tool("getmouselocation") == 0;
}

int XServer::Tool(const std::string& args, std::string* output) const {
    const std::string file = TestPaths::NewFolder("xdotool") + "/out.txt";
    const int status = RunShell("ip netns exec " + netns_ + " env DISPLAY=" + display_ +
                                " xdotool " + args + " >" + file + " 2>&1");
    if (output != nullptr) {
        *output = ReadFile(file);
    }
    return status;
}
