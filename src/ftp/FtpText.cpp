#include "ftp/FtpText.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <initializer_list>

#include "core/DisplayName.h"

namespace ftp {

namespace {

// A setting or a name in the log is cut in the middle beyond this many characters.
constexpr size_t kLongestLogText = 1024;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int LeadingNumber(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > INT_MAX) {
            value = INT_MAX;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

int ReplyClassOf(std::string_view line) {
    return line.empty() ? 0 : static_cast<unsigned char>(line[0]) - '0';
}

bool ReplyFits(std::string_view command, int code) {
    struct Answers {
        std::string_view verb;
        std::initializer_list<int> codes;
    };
    // PASS and ACCT also take the 3xx replies firewalls give, which the logon sequences
    // turn into a failure of their own.
    static const Answers kTable[] = {
        {"", {220}},
        {"USER", {230, 331, 332}},
        {"PASS", {230, 202, 331, 332}},
        {"ACCT", {230, 202, 332}},
        {"TYPE", {200}},
        {"PASV", {227}},
        {"PORT", {200}},
        {"STOR", {110, 125, 150, 226, 250}},
        {"RETR", {110, 125, 150, 226, 250}},
        {"CWD", {250}},
        {"QUIT", {221}},
    };
    const std::string_view verb = command.substr(0, command.find(' '));
    // NOOP tells whether the server is in step after a transfer, so no error stands in for
    // its answer: only 200, the 500 or 502 of a server without it, and 421 (a hang-up).
    if (verb == "NOOP") {
        return code == 200 || code == 500 || code == 502 || code == 421;
    }
    if (code / 100 == 4 || code / 100 == 5) {
        return true;
    }
    for (const Answers& answers : kTable) {
        if (answers.verb == verb) {
            return std::find(answers.codes.begin(), answers.codes.end(), code) !=
                   answers.codes.end();
        }
    }
    return code / 100 == 2 || code / 100 == 3;
}

bool IsSafeCommand(std::string_view command) {
    return command.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool ParsePassiveReply(std::string_view line, PassiveTarget& target) {
    const size_t open = line.find('(');
    const size_t close = line.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return false;
    }
    std::string_view inside = line.substr(open + 1, close - open - 1);
    const size_t last = inside.rfind(',');
    if (last == std::string_view::npos) {
        return false;
    }
    const int p2 = LeadingNumber(inside.substr(last + 1));
    inside = inside.substr(0, last);
    const size_t before = inside.rfind(',');
    if (before == std::string_view::npos) {
        return false;
    }
    const int p1 = LeadingNumber(inside.substr(before + 1));
    if (p1 < 0 || p1 > 255 || p2 < 0 || p2 > 255 || (p1 == 0 && p2 == 0)) {
        return false;
    }
    std::string address(inside.substr(0, before));
    for (char& c : address) {
        if (c == ',') {
            c = '.';
        }
    }
    target.address = address;
    target.port = p1 * 256 + p2;
    return true;
}

std::string PortArgument(const in_addr& address, int port) {
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    std::string argument = dotted;
    for (char& c : argument) {
        if (c == '.') {
            c = ',';
        }
    }
    return argument + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

std::string LogSafe(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            safe += c;
        } else if (c == '\r') {
            safe += "\\r";
        } else if (c == '\n') {
            safe += "\\n";
        } else if (c == '\t') {
            safe += "\\t";
        } else {
            static const char kHex[] = "0123456789abcdef";
            safe += "\\x";
            safe += kHex[byte >> 4];
            safe += kHex[byte & 0xF];
        }
    }
    // What is left that could hide or reorder text is shown as every name is.
    return DisplayName(safe, kLongestLogText);
}

std::string UploadName(std::string_view path) {
    size_t cut = path.rfind('\\');
    if (cut == std::string_view::npos) {
        cut = path.rfind('/');
    }
    if (cut == std::string_view::npos) {
        return std::string();
    }
    return std::string(path.substr(cut + 1));
}

}  // namespace ftp
