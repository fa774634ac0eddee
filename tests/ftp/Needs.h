#pragma once

#include <unistd.h>

#include "PyFtpServer.h"
#include "VsFtpServer.h"
#include "support/Network.h"
#include "support/Skip.h"

// What a test needs of the machine: each is skipped on a developer's machine that lacks it,
// and fails in CI (see support/Skip.h). Use in a test body.

// The upload job always uses port 21: its tests move their process into a network namespace
// of its own (ZW_ENTER_OWN_NETWORK) and run the server there.
#define ENTER_OWN_NETWORK() ZW_ENTER_OWN_NETWORK()

#define NEED_VSFTPD()                                           \
    do {                                                        \
        if (geteuid() != 0) {                                   \
            ZW_SKIP_FOR_LACK_OF("root to run vsftpd");          \
        }                                                       \
        if (!VsFtpServer::Installed()) {                        \
            ZW_SKIP_FOR_LACK_OF("vsftpd and its user \"ftp\""); \
        }                                                       \
    } while (0)

#define NEED_PYFTPDLIB()                                            \
    do {                                                            \
        if (!PyFtpServer::Installed()) {                            \
            ZW_SKIP_FOR_LACK_OF("/usr/bin/python3 with pyftpdlib"); \
        }                                                           \
    } while (0)
