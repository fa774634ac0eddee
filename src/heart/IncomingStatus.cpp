#include "heart/IncomingStatus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "core/DisplayName.h"

std::string IncomingStatus::Bytes(uint64_t bytes) {
    static const char* const kUnits[] = {"kB", "MB", "GB", "TB"};
    if (bytes < 1000) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    while (value >= 999.5 && unit + 1 < std::size(kUnits)) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, value < 99.95 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

std::string IncomingStatus::TimeLeft(double seconds) {
    const long whole = std::lround(seconds);
    if (whole < 60) {
        return "about " + std::to_string(std::max(whole, 1L)) + " s left";
    }
    if (whole < 3600) {
        return "about " + std::to_string((whole + 30) / 60) + " min left";
    }
    return "about " + std::to_string((whole + 1800) / 3600) + " h left";
}

std::string IncomingStatus::Text(const IncomingBatch& batch, Clock::time_point now) const {
    const std::string what =
        batch.root.empty() ? std::string("files") : DisplayName(batch.root, 64);
    const uint32_t current = batch.filesDone < batch.files ? batch.filesDone + 1 : batch.files;
    std::string text = "Receiving " + what + " from " + batch.peerAddress + ": file " +
                       std::to_string(current) + " of " + std::to_string(batch.files) + ", " +
                       Bytes(batch.bytesDone) + " of " + Bytes(batch.totalBytes);
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (elapsed >= 1 && batch.bytesDone > 0) {
        const double rate = static_cast<double>(batch.bytesDone) / elapsed;
        text += ", " + Bytes(static_cast<uint64_t>(rate)) + "/s";
        if (batch.totalBytes > batch.bytesDone) {
            text += ", " + TimeLeft(static_cast<double>(batch.totalBytes - batch.bytesDone) / rate);
        }
    }
    return text;
}

bool IncomingStatus::Due(const IncomingBatch& batch, Clock::time_point now) {
    if (batch.filesDone == lastDone_ && now - lastShown_ < std::chrono::milliseconds(500)) {
        return false;
    }
    lastDone_ = batch.filesDone;
    lastShown_ = now;
    return true;
}
