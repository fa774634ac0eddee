#pragma once

#include <cstdint>
#include <string>

// The activity log, "zingwelllog.txt" in the receive folder: plain lines, no time stamps.
// Callers put the line ends into their texts. Safe from any thread: each thread's pieces are
// held until their line ends, and every line reaches the file whole, in one write, so lines of
// two threads never mix. A line that comes again and again (more than three times within five
// seconds) is counted, and "... and N more like it" follows when another line comes. At 10 MB
// the log becomes "zingwelllog.old.txt" (replacing an older one) and a new one starts.

// Appends text unchanged; each line it ends is in the file at once, so a crash loses none.
void WriteLog(const char* text);
void WriteLog(const std::string& text);

// Appends text, a blank, the value in decimal and a line end, and flushes.
void WriteLogValue(const char* text, int32_t value);

// Writes the count of repeats still held and opens the log in the user's text editor.
void ViewLog();

// Writes every piece still held (line ended or not) and closes the log; a later write opens it
// again.
void CloseLog();

// The log file's path.
std::string LogFilePath();
