#pragma once

#include <QAction>
#include <QMenu>
#include <functional>

// Menu 131, "File": the program's commands, opened from the tray icon and the drop window.
// Each action carries its command number (ui/ResourceIds.h) as data. "Start at login" is
// checked while the autostart entry exists, as found each time the menu opens.
class CommandMenu : public QMenu {
public:
    CommandMenu(std::function<void(int)> onCommand, QWidget* parent = nullptr);

    QAction* startAtLogin() const { return startAtLogin_; }
    // "Not delivered (N)...": shown only while count gives more than 0, as found each time
    // the menu opens.
    void SetNotDeliveredCount(std::function<size_t()> count);
    QAction* notDelivered() const { return notDelivered_; }
    // "Cancel sending": shown only while sending gives true, as found each time the menu
    // opens.
    void SetSending(std::function<bool()> sending);
    QAction* cancelSending() const { return cancelSending_; }

private:
    void ShowCurrentState();

    QAction* startAtLogin_ = nullptr;
    QAction* notDelivered_ = nullptr;
    QAction* cancelSending_ = nullptr;
    std::function<size_t()> notDeliveredCount_;
    std::function<bool()> sending_;
};
