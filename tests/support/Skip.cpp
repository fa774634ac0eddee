#include "support/Skip.h"

#include <cstdlib>
#include <cstring>

bool RunningInCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}
