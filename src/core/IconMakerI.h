#pragma once

#include <cstdint>

// Changes the tray icon; implemented by the desktop layer, called from any thread.
struct IconMakerI {
    // icon: resource number (146, 150, 151); modify false adds the icon, true changes it.
    virtual void SetTrayIcon(uint16_t icon, bool modify) = 0;

protected:
    ~IconMakerI() = default;
};
