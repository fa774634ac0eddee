#pragma once

#include <QProgressBar>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "heart/DropView.h"
#include "heart/MainDialog.h"

class BarkPlayer;
class CommandMenu;
class DesktopNotifier;
class QMessageBox;

// The drop window: the dog that stays on top, takes dropped files, moves when dragged and
// opens the program's menu on a right click. Its decisions live in MainDialog; this widget
// draws, takes the mouse, and carries out the heart's view calls on the UI thread whatever
// thread they come from.
class CDropWindow : public QWidget, public DropView {
public:
    CDropWindow(WorkerFactory& workers, std::function<void(int)> onCommand,
                QWidget* parent = nullptr);
    // Stops and joins the heart's workers before anything they may call is gone.
    ~CDropWindow() override;

    MainDialog& heart() { return *heart_; }
    // When the window exists: starts the heart (receiver, discovery, beacon timer).
    void Initialize();

    // Files to send, as a drop brings them (paths as bytes, in order): from the command line,
    // a second start or the file chooser. Handled once the caller's event is over.
    void QueueFiles(const std::vector<std::string>& paths);
    // Shows the dog and brings it in front of other windows; on Wayland the compositor lets
    // it only with the activation token of the start that asks.
    void BringForward(const std::string& activationToken = "");
    // Where notifications go; the window makes one of its own until it is given one.
    void SetNotifier(DesktopNotifier* notifier) { notifier_ = notifier; }
    // Told, on the UI thread, what waits to go out (the tray shows it too).
    void SetWaitingSink(std::function<void(const QString&)> sink) {
        waitingSink_ = std::move(sink);
    }

    // DropView, callable from any thread.
    void ShowProgressBar(bool visible) override;
    void SetProgressPosition(int percent) override;
    void PlayBark() override;
    void Activate() override;
    void ShowMessage(const std::string& text) override;
    int AskBuddyProblem(const std::string& text, const std::vector<std::string>& actions) override;
    // A box with Accept, Decline, Always, Never that closes itself at the question's deadline.
    ConsentQuestion::Choice AskConsent(const ConsentQuestion& question) override;
    int AskSendTo(const std::string& text) override;
    void StartBeaconTimer() override;
    bool StopBeaconTimer() override;
    void Notify(const std::string& summary, const std::string& body) override;
    void FileArrived(const std::string& name, const std::string& shown,
                     const std::string& peerAddress) override;
    void OpenSettings() override;
    void ShowWaiting(const std::string& text) override;
    // The tooltip, and the batch's notification updated in place.
    void ShowSending(const std::string& text) override;

    QProgressBar* progressBar() const { return bar_; }
    // The drop window's menu 131.
    CommandMenu* menu() const { return menu_; }

    // The local file a dropped URL names, as bytes; empty for anything that is not one.
    static std::string LocalPath(const QUrl& url);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct PendingMessage;
    // A warning box with these buttons (none: OK); waits for it to close and returns the
    // index of the button chosen, -1 for none.
    // closeAfter: the box closes itself, unanswered, after this long (0: never).
    int Ask(const std::string& text, const std::vector<std::string>& actions,
            std::chrono::milliseconds closeAfter = std::chrono::milliseconds(0));

    // Runs fn on the UI thread: directly when already there, else queued.
    void OnUiThread(std::function<void()> fn);
    void UpdateMask();
    QRect DogRect() const;
    // Whether a drag may end here: local files, offered as a copy.
    static bool Acceptable(QDropEvent* event);

    std::unique_ptr<MainDialog> heart_;
    std::function<void(int)> onCommand_;
    QProgressBar* bar_;
    CommandMenu* menu_;
    BarkPlayer* bark_;
    DesktopNotifier* ownNotifier_;
    DesktopNotifier* notifier_;
    std::function<void(const QString&)> waitingSink_;
    QTimer beaconTimer_;
    std::atomic<bool> beaconTimerRunning_{false};
    QPoint dragAnchor_{-1, -1};
    bool moved_ = false;
    // Wayland: the compositor moves the window, and draws its transparent parts itself.
    const bool wayland_;
    QRegion dogRegion_;
    // The picture as last drawn: making it takes milliseconds, and the window is drawn again
    // at every change of its bar.
    QPixmap dogPicture_;
    std::mutex pendingMutex_;
    std::vector<std::shared_ptr<PendingMessage>> pending_;  // guarded by pendingMutex_
    bool closing_ = false;                                  // guarded by pendingMutex_
};
