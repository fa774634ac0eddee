#pragma once

#include <cstdint>

// The program's pictures and commands keep the numbers other parts (and users' habits) know.
namespace resource {

inline constexpr uint16_t kDogBitmap = 145;
inline constexpr uint16_t kIconDog = 146;    // the dog alone: idle
inline constexpr uint16_t kIconGreen = 150;  // on a green square: a buddy, a transfer
inline constexpr uint16_t kIconRed = 151;    // on a red square: an error
inline constexpr uint16_t kIconAbout = 152;

inline constexpr int kBeaconTimer = 7788;
inline constexpr int kBeaconPeriodMs = 10000;

inline constexpr int kCommandSettings = 1017;
inline constexpr int kCommandViewFiles = 32775;
inline constexpr int kCommandViewLog = 59410;
inline constexpr int kCommandWebsite = 32774;
inline constexpr int kCommandAbout = 1016;
inline constexpr int kCommandAboutFrame = 57664;
inline constexpr int kCommandExit = 32772;
// Our own additions to the menu.
inline constexpr int kCommandSendFiles = 32776;
inline constexpr int kCommandStartAtLogin = 32777;
inline constexpr int kCommandNotDelivered = 32778;

}  // namespace resource
