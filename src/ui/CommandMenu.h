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

private:
    void ShowCurrentState();

    QAction* startAtLogin_ = nullptr;
    QAction* notDelivered_ = nullptr;
    std::function<size_t()> notDeliveredCount_;
};
