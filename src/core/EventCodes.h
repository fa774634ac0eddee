#pragma once

#include <cstdint>

// The numbers that cross the event boundary: what a worker's Callback::ReportError says, and
// which picture the tray shows (IconMakerI::SetTrayIcon). They keep their old values, which
// the activity log prints ("Error code 4") and the artwork files are named by.
namespace error_code {

inline constexpr int32_t kCannotOpenToSend = 1;     // the sender could not open its file
inline constexpr int32_t kFtpLogonFailed = 2;       // no FTP connection, or the logon failed
inline constexpr int32_t kCannotWriteIncoming = 3;  // an incoming file refused or unwritable
inline constexpr int32_t kSendFailed = 4;           // the connection broke while sending
inline constexpr int32_t kReceiveFailed = 5;        // the stream broke or lied while receiving
// Raised after every file the FTP job tried, copied or not; its outcome is in the log only.
// The heart knows no text for it: it logs "Unknown error code" and shows red.
inline constexpr int32_t kFtpFileTried = 232323;

}  // namespace error_code

namespace resource {

inline constexpr uint16_t kDogBitmap = 145;
inline constexpr uint16_t kIconDog = 146;    // the dog alone: idle
inline constexpr uint16_t kIconGreen = 150;  // on a green square: a buddy, a transfer
inline constexpr uint16_t kIconRed = 151;    // on a red square: an error
inline constexpr uint16_t kIconAbout = 152;

}  // namespace resource
