#include "core/CritSec.h"

CritSec& ProcessLock() {
    // Built on first use, so that no static initialisation order can reach it unbuilt;
    // never destroyed, so that threads still running at exit may take it.
    static CritSec* section = new CritSec;
    return *section;
}
