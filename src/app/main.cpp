#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QtGlobal>
#include <cerrno>
#include <cstring>

#include "app/CommandLine.h"
#include "app/KnownComputers.h"
#include "app/TerminalPrompt.h"
#include "app/ZingwellApp.h"
#include "platform/DisplayProbe.h"
#include "platform/InstanceGuard.h"
#include "platform/RuntimeFolder.h"
#include "secure/IdentityFolder.h"
#include "secure/TrustStore.h"

namespace {

QtMessageHandler qtMessages = nullptr;

// Qt ends with an abort when the display it was given cannot be reached after all (one that
// went away since it was probed, or refused us): one plain line and status 1 instead, as when
// there is no display at all. Only while the application object is being made.
void StartupMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        fprintf(stderr,
                "zingwell: cannot connect to the display; start Zingwell from your desktop "
                "session\n");
        _exit(1);
    }
    if (qtMessages != nullptr) {
        qtMessages(type, context, text);
    }
}

// How long a later start waits for the running copy to answer (it may be starting itself).
constexpr std::chrono::seconds kHandOverPatience{15};

std::string CurrentFolder() {
    std::string folder(4096, '\0');
    if (getcwd(folder.data(), folder.size()) == nullptr) {
        return "";
    }
    folder.resize(strlen(folder.c_str()));
    return folder;
}

// Whether Qt has its Wayland platform plugin, which is packaged apart from the rest.
bool WaylandPluginInstalled() {
    QStringList folders = qEnvironmentVariable("QT_PLUGIN_PATH").split(u':', Qt::SkipEmptyParts);
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath);
    for (const QString& folder : folders) {
        if (!QDir(folder + QStringLiteral("/platforms"))
                 .entryList({QStringLiteral("libqwayland*.so")}, QDir::Files)
                 .isEmpty()) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Help, version and mistakes are answered without a display and without starting.
    const CommandLine line = CommandLine::Parse(argc, argv);
    switch (line.action) {
        case CommandLine::Action::Help:
            fputs(CommandLine::Usage(), stdout);
            return 0;
        case CommandLine::Action::Version:
            fputs(CommandLine::VersionText(), stdout);
            return 0;
        case CommandLine::Action::Pair:
            return TerminalPrompt::Pair(line.pairAddress, line.pairPort);
        case CommandLine::Action::Computers:
        case CommandLine::Action::Forget:
        case CommandLine::Action::Always:
        case CommandLine::Action::Never: {
            TrustStore store(IdentityFolder());
            std::string out, error;
            int status = 0;
            if (line.action == CommandLine::Action::Computers) {
                status = KnownComputers::List(store, out, error);
            } else if (line.action == CommandLine::Action::Forget) {
                status = KnownComputers::Forget(store, line.forget, out, error);
            } else {
                status = KnownComputers::Change(store, line.forget,
                                                line.action == CommandLine::Action::Always
                                                    ? TrustEntry::State::Allowed
                                                    : TrustEntry::State::Blocked,
                                                out, error);
            }
            fputs(out.c_str(), stdout);
            if (status != 0) {
                fprintf(stderr, "zingwell: %s\n", error.c_str());
            }
            return status;
        }
        case CommandLine::Action::Error:
            fprintf(stderr, "zingwell: unknown option %s\n%s", line.error.c_str(),
                    CommandLine::Usage());
            return 2;
        case CommandLine::Action::Run:
            break;
    }

    // Relative names are the caller's, so they are made absolute here; a name that is not
    // there is said at once rather than failing later in the running copy.
    int status = 0;
    std::vector<std::string> files;
    const std::string folder = CurrentFolder();
    for (const std::string& file : line.files) {
        const std::string path = CommandLine::Absolute(file, folder);
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            fprintf(stderr, "zingwell: %s: %s\n", file.c_str(), strerror(errno));
            status = 1;
            continue;
        }
        files.push_back(path);
    }

    // One copy per user: a later start hands its files to the running copy and ends.
    // On Wayland only the holder of the desktop's activation token may bring a window
    // forward: it goes to the running copy, and is not passed on to anything started here.
    const char* tokenVariable = getenv("XDG_ACTIVATION_TOKEN");
    const std::string token = tokenVariable != nullptr ? tokenVariable : "";
    InstanceGuard guard(RuntimeFolder());
    InstanceGuard::Claim claim = guard.TryClaim();
    if (claim == InstanceGuard::Claim::Taken) {
        unsetenv("XDG_ACTIVATION_TOKEN");
        if (guard.HandOver(files, kHandOverPatience, token)) {
            return status;
        }
        // It may have ended meanwhile: then this start becomes the copy.
        claim = guard.TryClaim();
        if (claim == InstanceGuard::Claim::Taken) {
            fprintf(stderr, "zingwell: Zingwell is already running but does not answer\n");
            return 1;
        }
    }
    if (claim == InstanceGuard::Claim::Unavailable) {
        fprintf(stderr,
                "zingwell: cannot make sure that only one copy runs (no private runtime "
                "folder); starting anyway\n");
    }

    const DisplayProbe::Choice display = DisplayProbe::Choose();
    if (!display.error.empty()) {
        fprintf(stderr, "zingwell: %s\n", display.error.c_str());
        return 1;
    }
    if (display.platform == "wayland" && !WaylandPluginInstalled()) {
        fprintf(stderr,
                "zingwell: this Wayland session has no X11, and Qt's Wayland support is not "
                "installed (package qt6-wayland)\n");
        return 1;
    }
    if (!display.platform.empty()) {
        setenv("QT_QPA_PLATFORM", display.platform.c_str(), 1);
    }

    std::vector<char*> qtArgs;
    for (const std::string& arg : line.qtArgs) {
        qtArgs.push_back(const_cast<char*>(arg.c_str()));
    }
    int qtArgc = static_cast<int>(qtArgs.size());
    qtArgs.push_back(nullptr);
    qtMessages = qInstallMessageHandler(StartupMessages);
    ZingwellApp app(qtArgc, qtArgs.data());
    qInstallMessageHandler(qtMessages);
    if (!app.InitInstance()) {
        return 1;
    }
    if (claim == InstanceGuard::Claim::Ours) {
        app.Serve(guard);
    }
    if (!files.empty()) {
        app.OpenFiles(files);
    }
    return app.exec();
}
