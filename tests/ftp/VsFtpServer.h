#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "support/ChildProcess.h"

// vsftpd on 127.0.0.1 with anonymous logon (any secret), configured by the test: its root
// folder belongs to root and cannot be written; "incoming" in it belongs to the ftp user
// and takes uploads. Needs root.
class VsFtpServer {
public:
    // port 0: a free port picked at random. moreConfig: lines added to the configuration.
    explicit VsFtpServer(int port = 0, const std::string& moreConfig = "");
    VsFtpServer(const VsFtpServer&) = delete;
    VsFtpServer& operator=(const VsFtpServer&) = delete;
    // Ends the listener and every session.
    ~VsFtpServer();
    // Whether vsftpd and its user are on this machine (it also needs root).
    static bool Installed();
    bool ok() const { return port_ > 0; }
    // The server's transfer log: one line per transfer, "OK UPLOAD" or "FAIL UPLOAD" among
    // them.
    std::string TransferLog() const;
    // Signals the process of every session that serves its data connection.
    void SignalSessions(int signal);
    int port() const { return port_; }
    const std::string& root() const { return root_; }
    std::string incoming() const { return root_ + "/incoming"; }

private:
    bool Launch(const std::string& folder, int port);
    // The listener and its descendants, each with its parent.
    std::map<pid_t, pid_t> Family() const;

    ChildProcess process_;
    std::string root_;
    std::string log_;
    std::string moreConfig_;
    int port_ = 0;
};
