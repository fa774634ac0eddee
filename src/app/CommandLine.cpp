#include "app/CommandLine.h"

#include <cstring>

#include "transfer/PairingInitiator.h"

namespace {

// Qt's own command-line options, with one dash or two; the first set takes a value.
const char* const kQtWithValue[] = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "qwindowicon",
    "qwindowtitle",
    "display",
    "geometry",
    "style",
    "stylesheet",
    "session",
    "name",
    "title",
};
const char* const kQtAlone[] = {"reverse", "nograb", "dograb", "sync", "widgetcount"};

bool Among(const std::string& word, const char* const* list, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (word == list[i]) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* CommandLine::Usage() {
    return "Usage: zingwell [FILE...]\n"
           "Passes files to another computer on your network: drop them on the dog, or name\n"
           "them here.\n"
           "\n"
           "  FILE...    queue these files to be sent, as a drop on the dog does\n"
           "  --help     show this help and exit\n"
           "  --version  show the version and exit\n"
           "  --computers  list the computers this one knows (paired, allowed, blocked)\n"
           "  --forget ID  forget one of them, named by its key id (at least 8 hex digits)\n"
           "               or its address\n"
           "  --always ID  take files from it without asking\n"
           "  --never ID   refuse its files without asking\n"
           "  --pair ADDRESS[:PORT]\n"
           "             pair with the Zingwell at ADDRESS (port 6677 unless given): both\n"
           "             screens show a code to compare; exits 0 only when paired\n"
           "\n"
           "One copy of Zingwell runs for each user: started again, it brings the running\n"
           "copy's dog forward and hands it the files named, then exits.\n";
}

const char* CommandLine::VersionText() {
    return "Zingwell 2.0.1\n";
}

std::string CommandLine::Absolute(const std::string& path, const std::string& folder) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    if (folder.empty() || folder.back() == '/') {
        return folder + path;
    }
    return folder + "/" + path;
}

CommandLine CommandLine::Parse(int argc, const char* const* argv) {
    CommandLine line;
    line.qtArgs.push_back(argc > 0 ? argv[0] : "zingwell");
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!options || word.size() < 2 || word[0] != '-') {
            line.files.push_back(word);
            continue;
        }
        if (word == "--") {
            options = false;
        } else if (word == "--help" || word == "-h") {
            line.action = Action::Help;
            return line;
        } else if (word == "--pair") {
            if (i + 1 >= argc ||
                !PairingInitiator::ParseTarget(argv[i + 1], line.pairAddress, line.pairPort)) {
                line.action = Action::Error;
                line.error = i + 1 < argc ? word + " " + argv[i + 1] : word;
                return line;
            }
            ++i;
            line.action = Action::Pair;
        } else if (word == "--version") {
            line.action = Action::Version;
            return line;
        } else if (word == "--computers") {
            line.action = Action::Computers;
            return line;
        } else if ((word == "--forget" || word == "--always" || word == "--never") &&
                   i + 1 < argc) {
            line.action = word == "--forget"   ? Action::Forget
                          : word == "--always" ? Action::Always
                                               : Action::Never;
            line.forget = argv[i + 1];
            return line;
        } else {
            const std::string name = word.substr(word[1] == '-' ? 2 : 1);
            if (Among(name, kQtWithValue, std::size(kQtWithValue)) && i + 1 < argc) {
                line.qtArgs.push_back("-" + name);
                line.qtArgs.push_back(argv[++i]);
            } else if (Among(name, kQtAlone, std::size(kQtAlone))) {
                line.qtArgs.push_back("-" + name);
            } else {
                line.action = Action::Error;
                line.error = word;
                return line;
            }
        }
    }
    return line;
}
