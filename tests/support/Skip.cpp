#include "support/Skip.h"

#include <cstdlib>
#include <cstring>

namespace {

// Turns a skip into a failure before the result printer hears of the test's end, so that the
// printer and the summary show a failure, and nothing marks the test as skipped.
class SkipsFail : public testing::EmptyTestEventListener {
public:
    void OnTestEnd(const testing::TestInfo& test) override {
        const testing::TestResult& result = *test.result();
        if (!result.Skipped()) {
            return;
        }
        for (int i = 0; i < result.total_part_count(); ++i) {
            const testing::TestPartResult& part = result.GetTestPartResult(i);
            if (part.skipped()) {
                // OnTestEnd still counts toward the test, and holds no lock of the framework's.
                ADD_FAILURE_AT(part.file_name() != nullptr ? part.file_name() : "?",
                               part.line_number())
                    << "skipped in CI, where everything a test needs is provided: "
                    << part.message();
                return;
            }
        }
    }
};

}  // namespace

bool RunningInCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

void FailSkipsInCi() {
#ifndef ZINGWELL_SANITIZED
    if (!RunningInCi()) {
        return;
    }
    // Test ends reach the listeners last added first: this one before the printer.
    testing::UnitTest::GetInstance()->listeners().Append(new SkipsFail);
#endif
}
