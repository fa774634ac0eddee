#include "app/ZingwellScreen.h"

bool ZingwellScreen::FindDog(XServer::Window& dog) const {
    return x_.FindWindow("^Zingwell$", dog, 91);
}

bool ZingwellScreen::BarShown(const XServer::Window& dog) const {
    // The bar's ground (#fff3b8) and its chunk (#2e9741).
    size_t bar = 0;
    for (const XServer::Pixel& p : x_.Pixels(dog)) {
        if ((p.r == 0xff && p.g == 0xf3 && p.b == 0xb8) ||
            (p.r == 0x2e && p.g == 0x97 && p.b == 0x41)) {
            ++bar;
        }
    }
    return bar > 50;
}

ZingwellScreen::Icon ZingwellScreen::TrayIcon() const {
    // The small "Zingwell" window the tray holds.
    XServer::Window icon;
    if (!x_.FindInTree("Zingwell", icon, 8, 40)) {
        return Icon::Missing;
    }
    const std::vector<XServer::Pixel> pixels = x_.Pixels(icon);
    if (pixels.empty()) {
        return Icon::Missing;
    }
    // The squares are #e0352b and #34a853; the dog has neither colour.
    size_t red = 0, green = 0;
    for (const XServer::Pixel& p : pixels) {
        red += p.r > 180 && p.g < 90 && p.b < 90 ? 1 : 0;
        green += p.g > 130 && p.r < 110 && p.b < 130 ? 1 : 0;
    }
    if (red * 5 > pixels.size()) {
        return Icon::Red;
    }
    if (green * 5 > pixels.size()) {
        return Icon::Green;
    }
    return Icon::Dog;
}

const char* ZingwellScreen::Name(Icon icon) {
    static const char* const names[] = {"no icon", "the dog", "green", "red"};  // as Icon
    return names[static_cast<int>(icon)];
}

std::vector<XServer::Window> ZingwellScreen::MessageBoxes() const {
    std::vector<XServer::Window> boxes;
    for (const XServer::Window& window : x_.FindWindows("^Zingwell$")) {
        if (x_.Property(window.id, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_DIALOG") !=
            std::string::npos) {
            boxes.push_back(window);
        }
    }
    return boxes;
}

bool ZingwellScreen::Answer(const XServer::Window& box) const {
    // Without a window manager nothing activates windows: the focus is given directly.
    return x_.Tool("windowactivate --sync " + box.id + " key Return") == 0 ||
           x_.Tool("windowfocus --sync " + box.id + " key Return") == 0;
}
