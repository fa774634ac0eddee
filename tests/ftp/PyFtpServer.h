#pragma once

#include <string>

#include "support/ChildProcess.h"

// pyftpdlib on 127.0.0.1, serving root: user "user" may do anything, user "reader" may only
// read; both have the secret "secret". Passive ports are the system's choice.
class PyFtpServer {
public:
    // port 0: a port the system chooses.
    explicit PyFtpServer(const std::string& root, int port = 0);
    // Whether /usr/bin/python3 can load pyftpdlib here.
    static bool Installed();
    bool ok() const { return port_ > 0; }
    int port() const { return port_; }

private:
    ChildProcess process_;
    int port_ = 0;
};
