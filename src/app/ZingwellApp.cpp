#include "app/ZingwellApp.h"

#include <fcntl.h>
#include <unistd.h>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QUrl>
#include <csignal>

#include "app/CAboutDlg.h"
#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "net/StartNetwork.h"
#include "settings/InitSettings.h"
#include "ui/Artwork.h"
#include "ui/ConfigDialog.h"
#include "ui/ResourceIds.h"

#ifndef ZINGWELL_GUIDE
#define ZINGWELL_GUIDE ""
#endif
#ifndef ZINGWELL_GUIDE_FROM_PROGRAM
#define ZINGWELL_GUIDE_FROM_PROGRAM "../share/doc/Zingwell/guide/index.html"
#endif
#ifndef ZINGWELL_SOURCE_GUIDE
#define ZINGWELL_SOURCE_GUIDE ""
#endif

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(signalPipe[1], &byte, 1);
}

}  // namespace

ZingwellApp::ZingwellApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Zingwell"));
    setApplicationVersion(QStringLiteral("2.0.1"));
    setDesktopFileName(QStringLiteral("zingwell"));
    setWindowIcon(Artwork::ApplicationIcon());
    // The program lives in the tray: closing a dialog must not end it.
    setQuitOnLastWindowClosed(false);
    SetLauncher(&launcher_);
}

ZingwellApp::~ZingwellApp() {
    frame_.reset();
    SetLauncher(nullptr);
}

bool ZingwellApp::InitInstance() {
    if (!StartNetwork()) {
        QMessageBox::warning(nullptr, QStringLiteral("Zingwell"),
                             QStringLiteral("Windows sockets initialization failed."));
        return false;
    }
    InitSettings();
    frame_ = std::make_unique<MainFrame>(workers_, [this](int command) { OnCommand(command); });
    frame_->Create();
    WatchSignals();
    return true;
}

void ZingwellApp::WatchSignals() {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    signalNotifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(signalNotifier_, &QSocketNotifier::activated, this, [this] { frame_->Exit(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

QString ZingwellApp::GuidePath(const QString& programFolder) {
    const QString candidates[] = {
        programFolder.isEmpty()
            ? QString()
            : QDir::cleanPath(programFolder + QStringLiteral("/" ZINGWELL_GUIDE_FROM_PROGRAM)),
        QString::fromUtf8(ZINGWELL_GUIDE), QString::fromUtf8(ZINGWELL_SOURCE_GUIDE)};
    for (const QString& path : candidates) {
        if (!path.isEmpty() && QFileInfo(path).isFile()) {
            return path;
        }
    }
    return QString();
}

void ZingwellApp::OnCommand(int command) {
    switch (command) {
        case resource::kCommandSettings: {
            ConfigDialog dialog;
            dialog.exec();
            break;
        }
        case resource::kCommandViewFiles:
            // Creates the folder first if need be.
            launcher_.OpenPath(GetReceiveFolder());
            break;
        case resource::kCommandViewLog:
            ViewLog();
            break;
        case resource::kCommandWebsite:
            if (const QString guide = GuidePath(applicationDirPath()); !guide.isEmpty()) {
                launcher_.OpenPath(guide.toStdString());
            }
            break;
        case resource::kCommandAbout:
        case resource::kCommandAboutFrame: {
            CAboutDlg about;
            about.exec();
            break;
        }
        default:
            break;
    }
}
