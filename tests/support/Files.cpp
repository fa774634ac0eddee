#include "support/Files.h"

#include <algorithm>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "core/ActivityLog.h"

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        uint32_t word = generator();
        bytes[i] = static_cast<char>(word);
        bytes[i + 1] = static_cast<char>(word >> 8);
        bytes[i + 2] = static_cast<char>(word >> 16);
        bytes[i + 3] = static_cast<char>(word >> 24);
    }
    for (; i < size; ++i) {
        bytes[i] = static_cast<char>(generator());
    }
    return bytes;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool ReceivingInto(const std::string& folder) {
    return FilesBeingReceived(folder) > 0;
}

size_t FilesBeingReceived(const std::string& folder) {
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().filename().string().rfind(".zingwell-incoming.tmp-", 0) == 0) {
            ++count;
        }
    }
    return count;
}

std::string LogText() {
    CloseLog();
    return ReadFile(LogFilePath());
}

size_t LoggedTimes(const std::string& log, const std::string& line) {
    size_t count = 0;
    bool afterIt = false;
    for (size_t at = 0; at < log.size();) {
        const size_t end = std::min(log.find('\n', at), log.size() - 1) + 1;
        const std::string current = log.substr(at, end - at);
        if (current == line) {
            ++count;
            afterIt = true;
        } else if (afterIt && current.starts_with("... and ")) {
            std::string digits;
            for (char c : current)
                if (c >= '0' && c <= '9')
                    digits += c;
            count += std::stoull(digits);
            afterIt = false;
        } else {
            afterIt = false;
        }
        at = end;
    }
    return count;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}
