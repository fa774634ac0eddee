#include "platform/AutostartEntry.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/AtomicFile.h"
#include "platform/HomeFolder.h"

namespace {

std::string AutostartFolder() {
    const char* config = getenv("XDG_CONFIG_HOME");
    const std::string base =
        config != nullptr && config[0] == '/' ? config : HomeDirectory() + "/.config";
    return base + "/autostart";
}

bool MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            struct stat info {};
            return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
    }
}

// One argument of an Exec line: quoted when it holds a character the launcher would read
// otherwise, with the quoting rule's own escapes; then the escapes of any desktop-file text.
std::string ExecArgument(const std::string& argument) {
    const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string quoted = argument;
    if (argument.find_first_of(reserved) != std::string::npos) {
        quoted = "\"";
        for (char c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                quoted += '\\';
            }
            quoted += c;
        }
        quoted += '"';
    }
    std::string text;
    for (char c : quoted) {
        switch (c) {
            case '\\':
                text += "\\\\";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\r':
                text += "\\r";
                break;
            case '%':
                text += "%%";
                break;
            default:
                text += c;
        }
    }
    return text;
}

}  // namespace

std::string AutostartEntry::Path() {
    return AutostartFolder() + "/zingwell.desktop";
}

bool AutostartEntry::Enabled() {
    std::ifstream in(Path());
    if (!in) {
        return false;
    }
    bool inEntry = false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const size_t equals = line.find('=');
        if (!inEntry || equals == std::string::npos) {
            continue;
        }
        auto trim = [](std::string text) {
            text.erase(0, text.find_first_not_of(" \t"));
            text.erase(text.find_last_not_of(" \t\r") + 1);
            return text;
        };
        const std::string key = trim(line.substr(0, equals));
        const std::string value = trim(line.substr(equals + 1));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            return false;
        }
    }
    return true;
}

std::string AutostartEntry::Contents(const std::string& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Zingwell\n"
           "Comment=Pass files to another computer on your network\n"
           "Exec=" +
           ExecArgument(program) +
           "\n"
           "Icon=zingwell\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool AutostartEntry::Enable(const std::string& program) {
    return !program.empty() && program[0] == '/' && MakeFolders(AutostartFolder()) &&
           WriteFileAtomically(Path(), Contents(program), 0644);
}

bool AutostartEntry::Disable() {
    return unlink(Path().c_str()) == 0 || errno == ENOENT;
}

std::string AutostartEntry::RunningProgram() {
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size()) {
        return "";
    }
    path.resize(static_cast<size_t>(length));
    return path;
}
