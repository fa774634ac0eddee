#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A name, or any text from outside, as the user may see it in the log, a notification or a
// message box: every character that could hide, reorder or break what is shown is replaced by
// '?' (C0 and C1 controls, DEL, direction controls and marks, line and paragraph separators,
// zero-width and other invisible format characters, U+FEFF, and each byte that is not part of
// valid UTF-8); each run of blanks (space, no-break and other Unicode spaces) becomes one
// space, so that padding cannot push an ending out of sight; and a text of more than maxChars
// characters keeps its start and its end around a "…", so that its extension stays visible.
// The result is valid UTF-8 of at most maxChars characters; ASCII without controls or double
// spaces comes back unchanged.
std::string DisplayName(std::string_view name, size_t maxChars);
