#include "core/DisplayName.h"

#include <vector>

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// The code point that starts at text[at] and its length in bytes; kInvalid (length 1) for a
// byte that does not begin a valid, shortest-form sequence.
char32_t Decode(std::string_view text, size_t at, size_t& length) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    length = 1;
    const unsigned char first = byte(0);
    if (first < 0x80) {
        return first;
    }
    // 0xC0, 0xC1 and 0xF5 and above never start a valid sequence; overlong forms are caught
    // by the lowest code point each length may hold.
    const size_t size = first >= 0xC2 && first <= 0xDF   ? 2
                        : first >= 0xE0 && first <= 0xEF ? 3
                        : first >= 0xF0 && first <= 0xF4 ? 4
                                                         : 0;
    if (size == 0) {
        return kInvalid;
    }
    static constexpr char32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
    const char32_t lowest = kLowest[size];
    char32_t point = first & (0x7F >> size);
    if (at + size > text.size()) {
        return kInvalid;
    }
    for (size_t i = 1; i < size; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return kInvalid;
        }
        point = (point << 6) | (byte(i) & 0x3F);
    }
    if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return kInvalid;
    }
    length = size;
    return point;
}

// Characters that are not seen, or that change how the rest is laid out or read.
bool IsHidden(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x180E ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

bool IsBlank(char32_t c) {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string DisplayName(std::string_view name, size_t maxChars) {
    std::string shown;
    shown.reserve(name.size());
    std::vector<size_t> starts;  // where each character of shown begins
    bool afterBlank = false;
    for (size_t at = 0, length = 0; at < name.size(); at += length) {
        const char32_t c = Decode(name, at, length);
        const bool blank = c != kInvalid && IsBlank(c);
        if (blank && afterBlank) {
            continue;
        }
        afterBlank = blank;
        starts.push_back(shown.size());
        if (c == kInvalid || IsHidden(c)) {
            shown += '?';
        } else if (blank) {
            shown += ' ';
        } else {
            shown.append(name.substr(at, length));
        }
    }
    if (starts.size() <= maxChars) {
        return shown;
    }
    if (maxChars == 0) {
        return {};
    }
    const size_t tail = (maxChars - 1) / 2;
    const size_t head = maxChars - 1 - tail;
    const size_t end = tail == 0 ? shown.size() : starts[starts.size() - tail];
    return shown.substr(0, starts[head]) + "\u2026" + shown.substr(end);
}
