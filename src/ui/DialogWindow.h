#pragma once

#include <QFlags>
#include <QString>
#include <Qt>

class QMessageBox;
class QWidget;

// What every dialog and message box of Zingwell shares as a window: a dialog with a title
// and at most a close box (no minimise or maximise), which no window manager can keep
// minimised, since a dialog out of reach would hide what it asks. None of them is modal: the
// dog, its menus and the tray stay usable while one is open.
class DialogWindow {
public:
    static Qt::WindowFlags Flags(bool closeBox, bool stayOnTop = false);
    // Restores the window whenever the window manager minimises it anyway (some offer it
    // whatever the window asks for), and keeps it on the screen once placed.
    static void KeepRestored(QWidget* window);
    // A warning box with OK, captioned "Zingwell", its text shown as plain text, in the middle
    // of the screen; deleted when closed.
    static QMessageBox* Warning(const QString& text, QWidget* parent = nullptr);
    // Places a window in the middle of the available area of its screen.
    static void Centre(QWidget* window);
};
