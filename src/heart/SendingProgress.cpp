#include "heart/SendingProgress.h"

#include <algorithm>
#include <cstdio>

std::string SendingProgress::Bytes(uint64_t bytes) {
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1000) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 99.95 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

std::string SendingProgress::Duration(uint64_t seconds) {
    if (seconds < 60) {
        return std::to_string(seconds) + " s";
    }
    const uint64_t minutes = (seconds + 30) / 60;
    if (minutes < 60) {
        return std::to_string(minutes) + " min";
    }
    return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

int SendingProgress::Percent(const BatchNotes::Progress& progress) {
    if (progress.bytesKnown == 0) {
        return progress.filesKnown == 0
                   ? 0
                   : static_cast<int>(std::min<size_t>(progress.filesDone, progress.filesKnown) *
                                      100 / progress.filesKnown);
    }
    const uint64_t done = std::min(progress.bytesDone, progress.bytesKnown);
    return static_cast<int>(done * 100 / progress.bytesKnown);
}

std::string SendingProgress::Text(const BatchNotes::Progress& progress, size_t behind,
                                  std::chrono::milliseconds elapsed, const std::string& address) {
    const size_t total = progress.filesKnown + behind;
    const size_t current = std::min(progress.filesDone + 1, std::max<size_t>(total, 1));
    std::string text = "Sending file " + std::to_string(current) + " of " +
                       std::to_string(std::max<size_t>(total, 1)) + " to " + address + ": " +
                       Bytes(progress.bytesDone) + " of " + Bytes(progress.bytesKnown);
    // A rate from less than a second of sending says little.
    if (elapsed >= std::chrono::seconds(1) && progress.bytesDone > 0) {
        const double perSecond =
            static_cast<double>(progress.bytesDone) * 1000.0 / static_cast<double>(elapsed.count());
        text += ", " + Bytes(static_cast<uint64_t>(perSecond)) + "/s";
        // Entries behind are not listed yet, so their bytes are unknown: no time left, which
        // would count only what is listed (a folder behind may be most of it).
        if (progress.bytesKnown > progress.bytesDone && behind == 0) {
            const double left =
                static_cast<double>(progress.bytesKnown - progress.bytesDone) / perSecond;
            text += ", " + Duration(static_cast<uint64_t>(left + 0.5)) + " left";
        }
    }
    return text;
}
