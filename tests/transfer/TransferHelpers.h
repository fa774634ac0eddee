#pragma once

#include <string>
#include <vector>

#include "support/RecordingCallback.h"

// Byte-level helpers for the transfer tests: raw peers on loopback and what they left.
namespace transfer_test {

// A whole stream as a sender puts it on the wire.
std::string Stream(const std::string& name, const std::string& body);
bool SendAll(int fd, const std::string& data);
// Reads until the peer ends the stream (or fails).
std::string ReadAll(int fd);
// Closes with a reset instead of an orderly end.
void Reset(int fd);
// The activity log so far (flushed first).
std::string LogText();
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> Listing(const std::string& folder);
// The receiving side's events for one whole file: IncomingFile, progress that grows to
// header + body with the size as total, FinishedSending. Empty when they fit.
std::string CheckReceiveEvents(const std::vector<RecordingCallback::Event>& events,
                               size_t nameLength, size_t size);
// The sending side's events for one whole file: progress after each full piece only.
std::vector<std::string> ExpectedSendEvents(size_t size);

}  // namespace transfer_test
