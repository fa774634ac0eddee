#include "transfer/ReceivedName.h"

#include "core/DisplayName.h"
#include "platform/AtomicFile.h"
#include "transfer/NotDeliveredList.h"
#include "transfer/QueueFile.h"

namespace received_name {

namespace {

constexpr const char* kLogFileName = "zingwelllog.txt";
constexpr const char* kOldLogFileName = "zingwelllog.old.txt";

bool IsControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII case is ignored: the receive folder may sit on a file system that ignores it too.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != Lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool IsOurs(std::string_view name) {
    for (std::string_view own :
         {std::string_view(queue_file::kFileName), std::string_view(kLogFileName),
          std::string_view(kOldLogFileName), std::string_view(NotDeliveredList::kFileName)}) {
        if ((name.size() == own.size() && StartsWithIgnoringCase(name, own)) ||
            StartsWithIgnoringCase(name, TemporaryPrefixFor(own))) {
            return true;
        }
    }
    return StartsWithIgnoringCase(name, kTemporaryPrefix);
}

}  // namespace

bool IsAcceptable(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxLength) {
        return false;
    }
    for (char c : name) {
        if (c == '/' || IsControl(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return !IsOurs(name);
}

std::string ForLog(std::string_view name) {
    return DisplayName(name, kMaxLength);
}

}  // namespace received_name
