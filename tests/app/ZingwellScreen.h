#pragma once

#include <string>
#include <vector>

#include "app/XServer.h"

// What a user sees of Zingwell on an X display: the dog, its progress bar, the tray icon's
// colour and the message boxes, read from the screen and the windows' names and types.
class ZingwellScreen {
public:
    explicit ZingwellScreen(const XServer& x) : x_(x) {}

    // The drop window: the visible "Zingwell" window, larger than any box's icon.
    bool FindDog(XServer::Window& dog) const;
    // Whether the progress bar shows under the dog (its colours are none of the dog's).
    bool BarShown(const XServer::Window& dog) const;

    enum class Icon { Missing, Dog, Green, Red };
    // The icon in the tray, by the colour of its square; Missing without a tray or icon.
    Icon TrayIcon() const;
    static const char* Name(Icon icon);

    // Message boxes on the screen: the visible dialogs titled "Zingwell".
    std::vector<XServer::Window> MessageBoxes() const;
    // Answers a box as a user does: brings it forward and presses Return (its OK).
    bool Answer(const XServer::Window& box) const;

private:
    const XServer& x_;
};
