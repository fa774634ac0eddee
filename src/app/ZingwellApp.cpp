#include "app/ZingwellApp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QUrl>
#include <csignal>
#include <memory>
#include <set>

#include "app/CAboutDlg.h"
#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "net/StartNetwork.h"
#include "platform/AutostartEntry.h"
#include "platform/InstanceGuard.h"
#include "secure/IdentityFolder.h"
#include "settings/InitSettings.h"
#include "settings/LiveSettings.h"
#include "ui/Artwork.h"
#include "ui/CDropWindow.h"
#include "ui/ConfigDialog.h"
#include "ui/DialogWindow.h"
#include "ui/ResourceIds.h"

#ifndef ZINGWELL_GUIDE
#define ZINGWELL_GUIDE ""
#endif
#ifndef ZINGWELL_GUIDE_FROM_PROGRAM
#define ZINGWELL_GUIDE_FROM_PROGRAM "../share/doc/zingwell/guide/index.html"
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

ZingwellApp::ZingwellApp(int& argc, char** argv)
    : QApplication(argc, argv), trust_(IdentityFolder()) {
    setApplicationName(QStringLiteral("Zingwell"));
    setApplicationVersion(QStringLiteral("2.0.1"));
    setDesktopFileName(QStringLiteral("zingwell"));
    setWindowIcon(Artwork::ApplicationIcon());
    // The program lives in the tray: closing a dialog must not end it.
    setQuitOnLastWindowClosed(false);
    SetLauncher(&launcher_);
}

ZingwellApp::~ZingwellApp() {
    // No hand-over may arrive for a program that is going.
    if (guard_ != nullptr) {
        guard_->Stop();
    }
    delete settings_;
    delete about_;
    delete chooser_;
    delete folderChooser_;
    delete notDelivered_;
    // A receiver's connection may be waiting for an answer: it is No now.
    if (pairing_) {
        pairing_->Cancel();
    }
    frame_.reset();
    pairing_.reset();
    SetLauncher(nullptr);
}

bool ZingwellApp::InitInstance() {
    if (!StartNetwork()) {
        QMessageBox::warning(nullptr, QStringLiteral("Zingwell"),
                             QStringLiteral("Windows sockets initialization failed."));
        return false;
    }
    InitSettings();
    LoadIdentity();
    frame_ = std::make_unique<MainFrame>(workers_, [this](int command) { OnCommand(command); });
    frame_->Create();
    if (frame_->dropWindow() != nullptr) {
        // "Pair again" in a buddy's problem box: the pairing windows, on the UI thread.
        frame_->dropWindow()->heart().SetPairAgain([this](const std::string& address) {
            QMetaObject::invokeMethod(
                this,
                [this, address] {
                    if (pairing_) {
                        pairing_->PairWith(QString::fromStdString(address));
                    }
                },
                Qt::QueuedConnection);
        });
    }
    WatchSignals();
    return true;
}

void ZingwellApp::LoadIdentity() {
    std::string trustError;
    if (!buddies_.Refresh(trustError)) {
        WriteLog(trustError + "\n");
        DialogWindow::Warning(QString::fromStdString(trustError))->show();
    }
    std::string error;
    identity_ = Identity::LoadOrCreate(IdentityFolder(), error);
    if (!identity_) {
        // Plain transfers go on as always; paired buddies get nothing until the key is back.
        WriteLog("Secure transfers are off: " + error + "\n");
        DialogWindow::Warning(QString::fromStdString(error + "\n\nZingwell runs without secure "
                                                             "transfers until this is put right."))
            ->show();
    } else if (identity_->made() && trust_.HasPaired()) {
        const std::string lost(Identity::kKeyLostText);
        WriteLog(lost + "\n");
        DialogWindow::Warning(QString::fromStdString(lost))->show();
    }
    workers_.SetSecure(identity(), LiveSettings.Get(LiveSettingsStore::Text::computername),
                       &buddies_);
    if (identity_) {
        pairing_ = std::make_unique<PairingDesk>(*identity_, trust_);
        workers_.SetPairing(&pairing_->responder());
    } else {
        pairingError_ = error;
    }
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

void ZingwellApp::Serve(InstanceGuard& guard) {
    guard_ = &guard;
    guard.Serve([this](HandOverMessage::Request request) {
        QMetaObject::invokeMethod(
            this, [this, request] { OpenFiles(request.paths, request.activationToken); },
            Qt::QueuedConnection);
    });
}

void ZingwellApp::OpenFiles(const std::vector<std::string>& paths,
                            const std::string& activationToken) {
    if (!frame_ || frame_->dropWindow() == nullptr) {
        return;
    }
    frame_->BringForward(activationToken);
    if (!paths.empty()) {
        frame_->dropWindow()->QueueFiles(paths);
    }
}

void ZingwellApp::ShowOnce(QWidget* dialog) {
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

std::string ZingwellApp::ChosenFile(const QUrl& url) {
    const std::string path = CDropWindow::LocalPath(url);
    struct stat info {};
    if (path.empty() || lstat(path.c_str(), &info) == 0) {
        return path;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    const QString wanted = QFile::decodeName(QByteArray::fromStdString(path.substr(slash + 1)));
    std::string found;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (QFile::decodeName(entry->d_name) == wanted) {
                if (!found.empty()) {
                    found.clear();  // two names read the same: not ours to guess
                    break;
                }
                found = entry->d_name;
            }
        }
        closedir(dir);
    }
    return found.empty() ? path : (slash == 0 ? "" : folder) + "/" + found;
}

QFileDialog* ZingwellApp::NewFileChooser(std::function<void(std::vector<std::string>)> onChosen,
                                         bool folder) {
    auto* chooser = new QFileDialog(nullptr,
                                    folder ? QStringLiteral("Send a folder with Zingwell")
                                           : QStringLiteral("Send files with Zingwell"),
                                    QDir::homePath());
    chooser->setWindowFlags(DialogWindow::Flags(true));
    chooser->setFileMode(folder ? QFileDialog::Directory : QFileDialog::ExistingFiles);
    if (folder) {
        chooser->setOption(QFileDialog::ShowDirsOnly);
    }
    chooser->setLabelText(QFileDialog::Accept, QStringLiteral("Send"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    DialogWindow::KeepRestored(chooser);
    // Qt's own dialog says what was chosen with filesSelected alone; a desktop's native one
    // with urlsSelected and then filesSelected. Each acceptance queues its files once.
    auto taken = std::make_shared<std::set<std::string>>();
    auto take = [taken, onChosen](const QList<QUrl>& urls) {
        std::vector<std::string> paths;
        for (const QUrl& url : urls) {
            if (std::string path = ChosenFile(url); !path.empty() && taken->insert(path).second) {
                paths.push_back(std::move(path));
            }
        }
        if (!paths.empty()) {
            onChosen(std::move(paths));
        }
    };
    connect(chooser, &QFileDialog::urlsSelected, chooser, take);
    connect(chooser, &QFileDialog::filesSelected, chooser, [take](const QStringList& files) {
        QList<QUrl> urls;
        for (const QString& file : files) {
            urls.append(QUrl::fromLocalFile(file));
        }
        take(urls);
    });
    connect(chooser, &QDialog::finished, chooser, [taken] { taken->clear(); });
    return chooser;
}

void ZingwellApp::ChooseFiles(bool folder) {
    QPointer<QFileDialog>& chooser = folder ? folderChooser_ : chooser_;
    if (chooser) {
        ShowOnce(chooser);
        return;
    }
    chooser = NewFileChooser(
        [this](std::vector<std::string> paths) {
            if (frame_ && frame_->dropWindow() != nullptr) {
                frame_->dropWindow()->QueueFiles(paths);
            }
        },
        folder);
    ShowOnce(chooser);
}

void ZingwellApp::ToggleStartAtLogin() {
    const QString path = QFile::decodeName(QByteArray::fromStdString(AutostartEntry::Path()));
    if (AutostartEntry::Enabled()) {
        if (!AutostartEntry::Disable()) {
            DialogWindow::Warning(QStringLiteral("Could not remove %1, so Zingwell will still "
                                                 "start at login.")
                                      .arg(path))
                ->show();
        }
    } else if (!AutostartEntry::Enable(AutostartEntry::RunningProgram())) {
        DialogWindow::Warning(
            QStringLiteral("Could not write %1, so Zingwell will not start at login.").arg(path))
            ->show();
    }
}

void ZingwellApp::OnCommand(int command) {
    switch (command) {
        case resource::kCommandSendFolder:
            ChooseFiles(true);
            break;
        case resource::kCommandSendFiles:
            ChooseFiles();
            break;
        case resource::kCommandSettings:
            // One at a time; the dog goes on taking drops while it is open.
            if (!settings_) {
                settings_ = new ConfigDialog;
                settings_->setAttribute(Qt::WA_DeleteOnClose);
                settings_->SetKnownComputers(&trust_);
                // Taken up at once: no restart.
                settings_->SetOnApplied([this] {
                    if (frame_ && frame_->dropWindow() != nullptr) {
                        frame_->dropWindow()->heart().ApplySettings();
                    }
                });
            }
            ShowOnce(settings_);
            break;
        case resource::kCommandPair:
            if (pairing_) {
                pairing_->StartPairing();
            } else {
                DialogWindow::Warning(QStringLiteral("Pairing is not possible: %1")
                                          .arg(QString::fromStdString(pairingError_)))
                    ->show();
            }
            break;
        case resource::kCommandStartAtLogin:
            ToggleStartAtLogin();
            break;
        case resource::kCommandNotDelivered:
            if (!frame_ || frame_->dropWindow() == nullptr) {
                break;
            }
            if (!notDelivered_) {
                notDelivered_ = new NotDeliveredDialog(frame_->dropWindow()->heart());
                notDelivered_->setAttribute(Qt::WA_DeleteOnClose);
            }
            notDelivered_->Refresh();
            ShowOnce(notDelivered_);
            break;
        case resource::kCommandCancelSending:
            if (frame_ && frame_->dropWindow() != nullptr) {
                frame_->dropWindow()->heart().CancelSending();
            }
            break;
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
        case resource::kCommandAboutFrame:
            if (!about_) {
                about_ = new CAboutDlg(identity());
                about_->setAttribute(Qt::WA_DeleteOnClose);
            }
            ShowOnce(about_);
            break;
        default:
            break;
    }
}
