#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// Small file and timing helpers for tests.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
bool FileExists(const std::string& path);
// Whether a file is being received into `folder`: until it is whole it has a temporary name.
bool ReceivingInto(const std::string& folder);
// How many files are being received into `folder` at once.
size_t FilesBeingReceived(const std::string& folder);
// The activity log as written so far, closed first so that all of it is in the file.
std::string LogText();
// How often `part` occurs in `text`.
size_t Occurrences(const std::string& text, const std::string& part);
// How often the whole line was logged: written, or counted in a "... and N more like it"
// line that follows it.
size_t LoggedTimes(const std::string& log, const std::string& line);
// Random bytes, the same for the same seed.
std::string RandomBytes(size_t size, uint32_t seed);
// Polls until the condition holds or the time is up; returns the condition's last value.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10));
