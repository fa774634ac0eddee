#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// Replaces the file at path with contents so that a crash at any moment leaves either the
// old or the new file whole: a temporary file in the same folder, flushed to disk, then
// renamed over the old one. Returns false (and leaves the old file) on any failure.
bool WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode);

// The name prefix of the temporary files WriteFileAtomically makes for a file name.
std::string TemporaryPrefixFor(std::string_view fileName);

// Removes the temporaries a crash may have left behind WriteFileAtomically for path (only
// names of exactly its pattern, in path's folder). For start-up, before anyone writes path.
void RemoveStaleTemporaries(const std::string& path);
