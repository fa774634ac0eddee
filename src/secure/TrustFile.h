#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "secure/TrustEntry.h"

// The `computers` file's text, taken apart and put together again, without touching a disk.
struct TrustFile {
    static constexpr std::string_view kHeader = "ZINGWELL-COMPUTERS 1";

    // A line is a known computer, or kept as it was (unknown states, malformed lines).
    struct Line {
        std::optional<TrustEntry> entry;
        std::string text;
    };

    // False when the text is not empty and does not start with our header (a file of a later
    // version, or not ours): such a file is not rewritten.
    bool understood = true;
    std::vector<Line> lines;

    static TrustFile Parse(std::string_view text);
    std::string Format() const;

    // One line's fields; nullopt for a line that is kept as it is.
    static std::optional<TrustEntry> ParseLine(std::string_view line);
    static std::string FormatLine(const TrustEntry& entry);
    static bool ValidKey(std::string_view key);

    // Every byte outside A-Za-z0-9-._~ as %XX; the reverse fails on a malformed escape.
    static std::string PercentEncode(std::string_view text);
    static std::optional<std::string> PercentDecode(std::string_view text);
};
