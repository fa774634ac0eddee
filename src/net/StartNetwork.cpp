#include "net/StartNetwork.h"

#include <signal.h>

#include <mutex>

bool StartNetwork() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = signal(SIGPIPE, SIG_IGN) != SIG_ERR; });
    return started;
}
