#pragma once

#include <QProgressBar>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ui/DropView.h"
#include "ui/MainDialog.h"

class BarkPlayer;
class QMessageBox;
class CommandMenu;

// The drop window: the dog that stays on top, takes dropped files, moves when dragged and
// opens the program's menu on a right click. Its decisions live in MainDialog; this widget
// draws, takes the mouse, and carries out the heart's view calls on the UI thread whatever
// thread they come from.
class CDropWindow : public QWidget, public DropView {
public:
    CDropWindow(WorkerFactory& workers, std::function<void(int)> onCommand,
                QWidget* parent = nullptr);
    ~CDropWindow() override;

    MainDialog& heart() { return *heart_; }
    // When the window exists: starts the heart (receiver, discovery, beacon timer).
    void Initialize();

    // DropView, callable from any thread.
    void ShowProgressBar(bool visible) override;
    void SetProgressPosition(int percent) override;
    void PlayBark() override;
    void Activate() override;
    void ShowMessage(const std::string& text) override;
    void StartBeaconTimer() override;
    bool StopBeaconTimer() override;
    void Notify(const std::string& summary, const std::string& body) override;
    void OpenSettings() override;

    QProgressBar* progressBar() const { return bar_; }
    // The drop window's menu 131.
    CommandMenu* menu() const { return menu_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct PendingMessage;

    // Runs fn on the UI thread: directly when already there, else queued.
    void OnUiThread(std::function<void()> fn);
    void UpdateMask();
    // A warning box with OK, captioned "Zingwell", placed in the middle of the screen.
    QMessageBox* MakeMessageBox(const QString& text);
    QRect DogRect() const;

    std::unique_ptr<MainDialog> heart_;
    std::function<void(int)> onCommand_;
    QProgressBar* bar_;
    CommandMenu* menu_;
    BarkPlayer* bark_;
    QTimer beaconTimer_;
    std::atomic<bool> beaconTimerRunning_{false};
    QPoint dragAnchor_{-1, -1};
    QRegion dogRegion_;
    std::mutex pendingMutex_;
    std::vector<std::shared_ptr<PendingMessage>> pending_;
};
