#pragma once

#include <cstdint>

// Changes the tray icon; implemented by the desktop layer, called from any thread.
struct IconMakerI {
    // icon: resource::kIconDog, kIconGreen or kIconRed (core/EventCodes.h); modify false adds
    // the icon, true changes it.
    virtual void SetTrayIcon(uint16_t icon, bool modify) = 0;

protected:
    ~IconMakerI() = default;
};
