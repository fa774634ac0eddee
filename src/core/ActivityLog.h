#pragma once

#include <cstdint>
#include <string>

// The activity log, "zingwelllog.txt" in the receive folder: plain lines, no time stamps.
// Callers put the line ends into their texts. Safe from any thread.

// Appends text unchanged and flushes it to the file, so that a crash loses no line.
void WriteLog(const char* text);
void WriteLog(const std::string& text);

// Appends text, a blank, the value in decimal and a line end, and flushes.
void WriteLogValue(const char* text, int32_t value);

// Flushes the log and opens it in the user's text editor.
void ViewLog();

// Closes the log (flushing it); a later write opens it again.
void CloseLog();

// The log file's path.
std::string LogFilePath();
