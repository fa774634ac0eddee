#pragma once

#include <QMenu>
#include <functional>

// Menu 131, "File": the program's commands, opened from the tray icon and the drop window.
// Each action carries its command number (ui/ResourceIds.h) as data.
class CommandMenu : public QMenu {
public:
    CommandMenu(std::function<void(int)> onCommand, QWidget* parent = nullptr);
};
