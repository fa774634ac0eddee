#include "heart/SendingProgress.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(SendingProgress, SaysFilesBytesRateAndTimeLeftOnceThereIsARate) {
    struct Case {
        BatchNotes::Progress progress;
        size_t behind;
        std::chrono::milliseconds elapsed;
        const char* text;
        int percent;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0}, 0, 0ms, "Sending file 1 of 1 to h: 0 bytes of 0 bytes", 0},
        {{0, 1000, 0, 10240000, 1000},
         0,
         500ms,
         "Sending file 1 of 1000 to h: 0 bytes of 10.2 MB",
         0},
        // Entries behind the group count as one file each until their turn, and their bytes,
        // unknown till then, leave the time left unsaid.
        {{999, 1000, 10239000, 10240000, 1},
         2,
         2000ms,
         "Sending file 1000 of 1002 to h: 10.2 MB of 10.2 MB, 5.1 MB/s",
         99},
        {{3, 10, 1500000000, 3000000000, 1},
         0,
         10000ms,
         "Sending file 4 of 10 to h: 1.5 GB of 3.0 GB, 150 MB/s, 10 s left",
         50},
        {{1, 2, 1000, 1000000, 1},
         0,
         1000ms,
         "Sending file 2 of 2 to h: 1.0 KB of 1.0 MB, 1.0 KB/s, 17 min left",
         0},
        {{2, 2, 999, 999, 1},
         0,
         1000ms,
         "Sending file 2 of 2 to h: 999 bytes of 999 bytes, "
         "999 bytes/s",
         100},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SendingProgress::Text(c.progress, c.behind, c.elapsed, "h"), c.text);
        EXPECT_EQ(SendingProgress::Percent(c.progress), c.percent) << c.text;
    }
    EXPECT_EQ(SendingProgress::Duration(7500), "2 h 5 min");
    EXPECT_EQ(SendingProgress::Bytes(1), "1 byte");
}

}  // namespace
