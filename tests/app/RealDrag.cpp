#include "app/RealDrag.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/XServer.h"
#include "app/ZingwellCopy.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

std::string RealDrag::Onto(const XServer& x, int toX, int toY,
                           const std::function<void()>& onDropped) const {
    std::string outcome;
    for (int attempt = 0; attempt < 3 && outcome.find("drop action 1\n") == std::string::npos;
         ++attempt) {
        const std::string log = logFolder + "/drag" + std::to_string(attempt) + ".txt";
        auto said = [&](const char* text) { return ReadFile(log).find(text) != std::string::npos; };
        ChildProcess source;
        ChildProcess::Options options;
        options.netns = netns;
        options.env = {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display()};
        options.output = log;
        std::vector<std::string> argv = {ZINGWELL_DRAG_SOURCE};
        if (offerMove) {
            argv.push_back("--move");
        }
        argv.insert(argv.end(), {"100", "100"});
        argv.insert(argv.end(), files.begin(), files.end());
        if (!source.Start(argv, options) ||
            !Soon([&] { return x.Tool("search --onlyvisible --name zw_drag_source") == 0; }) ||
            x.Tool("mousemove 140 130 sleep 0.2 mousedown 1") != 0 ||
            !Soon([&] { return said("dragging"); })) {
            return ReadFile(log);
        }
        std::ostringstream moves;
        for (int step = 1; step <= 6; ++step) {
            moves << " mousemove " << 140 + (toX - 140) * step / 6 << " "
                  << 130 + (toY - 130) * step / 6 << " sleep 0.2";
        }
        moves << " mousemove " << toX + 1 << " " << toY << " sleep 0.3 mousemove " << toX << " "
              << toY << " sleep 0.3 mouseup 1";
        if (x.Tool(moves.str()) != 0 || !Soon([&] { return said("drop action"); })) {
            return ReadFile(log);
        }
        outcome = ReadFile(log);
        // The target fetches the dropped URLs after the drag has ended for the source, which
        // serves them for a few seconds more: it must not be cut short.
        if (outcome.find("drop action 1\n") != std::string::npos && onDropped) {
            onDropped();
        }
        source.Wait(kPatience);
    }
    return outcome;
}
