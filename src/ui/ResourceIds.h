#pragma once

#include "core/EventCodes.h"

// The program's pictures (core/EventCodes.h, where the heart sees them too) and commands keep
// the numbers other parts (and users' habits) know.
namespace resource {

inline constexpr int kBeaconTimer = 7788;

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
inline constexpr int kCommandPair = 32779;
inline constexpr int kCommandCancelSending = 32780;
inline constexpr int kCommandSendFolder = 32781;

}  // namespace resource
