#pragma once

#include <functional>
#include <string>
#include <vector>

class XServer;

// A file manager's drag, as a user makes it: a small drag source window (tools/zw_drag_source)
// whose files the pointer drags onto a point of the display and lets go. What became of the
// drag as the source saw it ("drop action 1" for a copy); onDropped runs while the source
// still serves the files. A drag that missed (the pointer outran the programs on a loaded
// machine) is tried again: it leaves no trace in the target.
struct RealDrag {
    std::string netns;               // the display's namespace, "" for the test's own
    std::vector<std::string> files;  // paths, as bytes
    bool offerMove = false;          // the source would rather move them
    std::string logFolder;

    std::string Onto(const XServer& x, int toX, int toY,
                     const std::function<void()>& onDropped = nullptr) const;
};
