#pragma once

#include <string>

#include "ChildProcess.h"

// vsftpd on 127.0.0.1 with anonymous logon (any secret), configured by the test: its root
// folder belongs to root and cannot be written; "incoming" in it belongs to the ftp user
// and takes uploads. Needs root.
class VsFtpServer {
public:
    // port 0: a free port picked at random.
    explicit VsFtpServer(int port = 0);
    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string& root() const { return root_; }
    std::string incoming() const { return root_ + "/incoming"; }

private:
    bool Launch(const std::string& folder, int port);

    ChildProcess process_;
    std::string root_;
    int port_ = 0;
};
