#pragma once

class QWidget;

// What only an X11 window manager can be asked for; nothing happens on other window systems.
class X11Desktop {
public:
    // Shows the (mapped) window on every workspace, as a sticky window.
    static void ShowOnAllDesktops(QWidget* window);
};
