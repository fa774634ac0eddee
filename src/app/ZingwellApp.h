#pragma once

#include <QApplication>
#include <QPointer>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QFileDialog>

#include "app/CAboutDlg.h"
#include "heart/RealWorkerFactory.h"
#include "heart/TrustedBuddies.h"
#include "secure/Identity.h"
#include "secure/TrustStore.h"
#include "ui/ConfigDialog.h"
#include "ui/MainFrame.h"
#include "ui/NotDeliveredDialog.h"
#include "ui/PairingDesk.h"
#include "ui/QtLauncher.h"

class InstanceGuard;
class QSocketNotifier;

// The program: starts the network layer, the settings and the main frame, and carries out
// the menu's commands (Exit belongs to the main frame).
class ZingwellApp : public QApplication {
public:
    ZingwellApp(int& argc, char** argv);
    ~ZingwellApp() override;

    // Start-up; false ends the program.
    bool InitInstance();
    void OnCommand(int command);

    // Answers later starts of the program for as long as it runs: their files are queued as
    // a drop queues them and the dog comes forward.
    void Serve(InstanceGuard& guard);
    // Files named on the command line, here or by a later start (absolute paths, as bytes),
    // with the later start's activation token, if it had one.
    void OpenFiles(const std::vector<std::string>& paths, const std::string& activationToken = "");

    // The open dialogs, if any (one of each at a time).
    ConfigDialog* settingsDialog() const { return settings_; }
    CAboutDlg* aboutBox() const { return about_; }
    QFileDialog* fileChooser() const { return chooser_; }

    MainFrame* frame() const { return frame_.get(); }
    // Pairing, once this computer's key and known computers are open; null when they cannot be.
    PairingDesk* pairing() const { return pairing_.get(); }
    // This computer's key (none when it could not be loaded: no secure transfers) and the
    // known computers, which the heart, the settings and pairing share.
    const Identity* identity() const { return identity_ ? &*identity_ : nullptr; }
    TrustStore& trust() { return trust_; }
    TrustedBuddies& buddies() { return buddies_; }

    // Where "Website..." leads: the user guide installed beside the program in
    // programFolder, else the one of the configured installation, else the source tree's
    // (a program run from its build folder). Empty when there is none.
    static QString GuidePath(const QString& programFolder);
    // The file a chooser's URL names, as bytes. A chooser that knows names only as text
    // gives a name that is not UTF-8 back mangled; it is found again in its folder.
    static std::string ChosenFile(const QUrl& url);
    // The "Send files..." chooser: the files accepted in it (double-click, Send, a typed
    // path), as bytes, go to onChosen once per acceptance. Deleted when closed.
    // folder: one folder is chosen, not files.
    static QFileDialog* NewFileChooser(std::function<void(std::vector<std::string>)> onChosen,
                                       bool folder = false);
    // "Start at login": writes the autostart entry when there is none, else removes it.
    static void ToggleStartAtLogin();

private:
    // Loads the key and the known computers and says what the user must know of them.
    void LoadIdentity();
    // SIGTERM, SIGINT and SIGHUP end the program as Exit does, leave beacon included.
    void WatchSignals();
    // Shows the dialog, or brings the one already open to the front.
    static void ShowOnce(QWidget* dialog);
    void ChooseFiles(bool folder = false);

    QtLauncher launcher_;
    // Before the workers, which use them until they go.
    std::optional<Identity> identity_;
    TrustStore trust_;
    TrustedBuddies buddies_{trust_};
    std::unique_ptr<PairingDesk> pairing_;
    std::string pairingError_;
    RealWorkerFactory workers_;
    std::unique_ptr<MainFrame> frame_;
    QSocketNotifier* signalNotifier_ = nullptr;
    InstanceGuard* guard_ = nullptr;
    QPointer<ConfigDialog> settings_;
    QPointer<CAboutDlg> about_;
    QPointer<QFileDialog> chooser_;
    QPointer<QFileDialog> folderChooser_;
    QPointer<NotDeliveredDialog> notDelivered_;
};
