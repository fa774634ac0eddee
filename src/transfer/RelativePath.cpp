#include "transfer/RelativePath.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>

#include "transfer/ReceivedName.h"

namespace relative_path {

namespace {

bool IsControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i];
        char b = prefix[i];
        a = a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a;
        b = b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b;
        if (a != b) {
            return false;
        }
    }
    return true;
}

// One UTF-8 sequence at text[at]: its code point and length, or length 0 when not valid.
size_t DecodeUtf8(std::string_view text, size_t at, char32_t& point) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        point = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, point = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, point = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, point = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void EncodeUtf8(char32_t point, std::string& out) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// The C library's Unicode tables, whatever locale the program runs in; null when missing.
locale_t UnicodeLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return locale;
}

}  // namespace

Problem CheckComponent(std::string_view name, size_t level) {
    if (name.empty()) {
        return Problem::Empty;
    }
    if (name == "." || name == "..") {
        return Problem::DotName;
    }
    if (name.size() > kMaxComponent) {
        return Problem::ComponentTooLong;
    }
    for (char c : name) {
        if (c == '\\') {
            return Problem::Backslash;
        }
        if (IsControl(static_cast<unsigned char>(c))) {
            return Problem::Control;
        }
        if (c == '/') {
            return Problem::Empty;
        }
    }
    // Our temporaries stand in every folder we write to; the queue file and the log only at
    // the top, where received_name knows them all.
    if (StartsWithIgnoringAsciiCase(name, received_name::kTemporaryPrefix) ||
        (level == 0 && !received_name::IsAcceptable(name))) {
        return Problem::Reserved;
    }
    return Problem::None;
}

Problem Split(std::string_view path, std::vector<std::string>& components) {
    components.clear();
    if (path.empty()) {
        return Problem::Empty;
    }
    if (path.front() == '/') {
        return Problem::Absolute;
    }
    if (path.size() > kMaxLength) {
        return Problem::TooLong;
    }
    std::vector<std::string> names;
    size_t start = 0;
    while (true) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (names.size() == kMaxDepth) {
            return Problem::TooDeep;
        }
        const std::string_view name = path.substr(start, end - start);
        if (const Problem problem = CheckComponent(name, names.size()); problem != Problem::None) {
            return problem;
        }
        names.emplace_back(name);
        if (end == path.size()) {
            break;
        }
        start = end + 1;
    }
    components = std::move(names);
    return Problem::None;
}

std::string FoldCase(std::string_view path) {
    const locale_t locale = UnicodeLocale();
    std::string folded;
    folded.reserve(path.size());
    for (size_t at = 0; at < path.size();) {
        char32_t point = 0;
        const size_t length = DecodeUtf8(path, at, point);
        if (length == 0) {
            folded += path[at++];
            continue;
        }
        if (point < 0x80) {
            folded += point >= 'A' && point <= 'Z' ? static_cast<char>(point - 'A' + 'a')
                                                   : static_cast<char>(point);
        } else if (locale != locale_t{}) {
            // Upper then lower, so that title-case and upper-case forms meet one lower form.
            const auto upper = towupper_l(static_cast<wint_t>(point), locale);
            EncodeUtf8(static_cast<char32_t>(towlower_l(upper, locale)), folded);
        } else {
            folded.append(path.substr(at, length));
        }
        at += length;
    }
    return folded;
}

const char* Describe(Problem problem) {
    switch (problem) {
        case Problem::None:
            return "acceptable";
        case Problem::Empty:
            return "an empty name";
        case Problem::Absolute:
            return "an absolute path";
        case Problem::DotName:
            return "a name \".\" or \"..\"";
        case Problem::Backslash:
            return "a backslash in a name";
        case Problem::Control:
            return "a control character in a name";
        case Problem::ComponentTooLong:
            return "a name longer than 255 bytes";
        case Problem::TooDeep:
            return "more than 32 levels";
        case Problem::TooLong:
            return "a path longer than 4095 bytes";
        case Problem::Reserved:
            return "a name Zingwell keeps for itself";
    }
    return "unknown";
}

}  // namespace relative_path
