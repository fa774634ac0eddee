#include "secure/TrustFile.h"

#include <arpa/inet.h>

#include "core/PercentText.h"

namespace {

constexpr char kSeparator = '\t';
// Longer names are not ours; the line is kept as it is.
constexpr size_t kMaxEncodedName = 1024;

std::string_view StateText(TrustEntry::State state) {
    switch (state) {
        case TrustEntry::State::Paired:
            return "paired";
        case TrustEntry::State::Blocked:
            return "blocked";
        case TrustEntry::State::Known:
            return "known";
        case TrustEntry::State::Allowed:
            break;
    }
    return "allowed";
}

// The state field: the state, then ",send" or ",nosend" once the user answered the question
// about sending to it.
std::optional<TrustEntry::State> StateFrom(std::string_view text, TrustEntry::Sending& sending) {
    sending = TrustEntry::Sending::Unasked;
    const size_t comma = text.find(',');
    if (comma != std::string_view::npos) {
        const std::string_view flag = text.substr(comma + 1);
        if (flag == "send") {
            sending = TrustEntry::Sending::Confirmed;
        } else if (flag == "nosend") {
            sending = TrustEntry::Sending::Refused;
        } else {
            return std::nullopt;
        }
        text = text.substr(0, comma);
    }
    for (TrustEntry::State state : {TrustEntry::State::Paired, TrustEntry::State::Blocked,
                                    TrustEntry::State::Allowed, TrustEntry::State::Known}) {
        if (text == StateText(state)) {
            return state;
        }
    }
    return std::nullopt;
}

bool IsAddress(std::string_view text) {
    if (text.empty() || text.size() > 15) {
        return false;
    }
    const std::string copy(text);
    in_addr address{};
    return inet_pton(AF_INET, copy.c_str(), &address) == 1;
}

}  // namespace

TrustFile TrustFile::Parse(std::string_view text) {
    TrustFile file;
    bool first = true;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (first) {
            first = false;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (line != kHeader) {
                file.understood = false;
                file.lines.push_back({std::nullopt, std::string(line)});
            }
            continue;
        }
        file.lines.push_back({ParseLine(line), std::string(line)});
    }
    return file;
}

std::string TrustFile::Format() const {
    std::string text;
    if (understood) {
        text += kHeader;
        text += '\n';
    }
    for (const Line& line : lines) {
        text += line.text;
        text += '\n';
    }
    return text;
}

std::optional<TrustEntry> TrustFile::ParseLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    std::string_view fields[4];
    for (int i = 0; i < 4; ++i) {
        const size_t tab = line.find(kSeparator);
        if ((tab == std::string_view::npos) != (i == 3)) {
            return std::nullopt;  // fewer or more than four fields
        }
        fields[i] = line.substr(0, tab);
        line = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    }
    TrustEntry::Sending sending = TrustEntry::Sending::Unasked;
    const std::optional<TrustEntry::State> state = StateFrom(fields[1], sending);
    if (!ValidKey(fields[0]) || !state || (!fields[2].empty() && !IsAddress(fields[2])) ||
        fields[3].size() > kMaxEncodedName) {
        return std::nullopt;
    }
    std::optional<std::string> name = PercentDecode(fields[3]);
    if (!name) {
        return std::nullopt;
    }
    return TrustEntry{std::string(fields[0]), *state, std::string(fields[2]), std::move(*name),
                      sending};
}

std::string TrustFile::FormatLine(const TrustEntry& entry) {
    std::string line = entry.key;
    line += kSeparator;
    line += StateText(entry.state);
    if (entry.sending != TrustEntry::Sending::Unasked) {
        line += entry.sending == TrustEntry::Sending::Confirmed ? ",send" : ",nosend";
    }
    line += kSeparator;
    line += entry.lastAddress;
    line += kSeparator;
    line += PercentEncode(entry.name);
    return line;
}

bool TrustFile::ValidKey(std::string_view key) {
    if (key.substr(0, 2) == "a:") {
        return IsAddress(key.substr(2));
    }
    const size_t digits = key.substr(0, 2) == "k:" ? 64 : key.substr(0, 2) == "i:" ? 16 : 0;
    if (digits == 0 || key.size() != 2 + digits) {
        return false;
    }
    for (char c : key.substr(2)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string TrustFile::PercentEncode(std::string_view text) {
    return percent_text::Encode(text);
}

std::optional<std::string> TrustFile::PercentDecode(std::string_view text) {
    return percent_text::Decode(text);
}
