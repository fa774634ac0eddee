#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/IconMakerI.h"

class CDropWindow;
class CommandMenu;
class DesktopNotifier;
class WorkerFactory;

// The program's hub, never seen itself: it keeps the tray icon and its menu, owns the drop
// window, routes the menu's commands, and ends the program at Exit.
class MainFrame : public QObject, public IconMakerI {
public:
    // Commands other than Exit go to onCommand.
    MainFrame(WorkerFactory& workers, std::function<void(int)> onCommand);
    ~MainFrame() override;

    // Adds the tray icon, creates, starts and shows the drop window.
    void Create();

    // Any thread.
    void SetTrayIcon(uint16_t icon, bool modify) override;

    void OnCommand(int command);
    // Removes the tray icon, tells the buddy we leave, closes the log and ends the process
    // at once with status 0 (a worker may sit in a message box: nothing waits for it).
    [[noreturn]] void Exit();

    // The tray icon's clicks: Trigger toggles the drop window, Context shows it with the menu.
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
    // Shows the drop window in front of the others (a second start of the program asks so,
    // with its activation token where the desktop gave it one).
    void BringForward(const std::string& activationToken = "");

    CDropWindow* dropWindow() const { return dropWindow_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    CommandMenu* trayMenu() const { return menu_.get(); }
    bool dialogVisible() const { return dialogVisible_; }

private:
    WorkerFactory& workers_;
    std::function<void(int)> onCommand_;
    bool dialogVisible_ = true;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<CommandMenu> menu_;
    std::map<uint16_t, QIcon> icons_;  // loaded once, used from any thread's request
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<CDropWindow> dropWindow_;
};
