#include "VsFtpServer.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/Files.h"
#include "support/Network.h"
#include "support/TestPaths.h"

namespace {

int FreePort() {
    int port = 0;
    int fd = ListenOnLoopback(port);
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

bool Greets(int port) {
    int fd = ConnectToLoopback(port);
    if (fd < 0) {
        return false;
    }
    char greeting[4] = {};
    ssize_t n = read(fd, greeting, 3);
    close(fd);
    return n == 3 && std::string(greeting, 3) == "220";
}

}  // namespace

VsFtpServer::VsFtpServer(int port) {
    const passwd* ftp = getpwnam("ftp");
    if (geteuid() != 0 || ftp == nullptr) {
        return;
    }
    const std::string folder = TestPaths::NewFolder("vsftpd");
    root_ = folder + "/root";
    mkdir(root_.c_str(), 0755);
    mkdir(incoming().c_str(), 0755);
    if (chown(incoming().c_str(), ftp->pw_uid, ftp->pw_gid) != 0) {
        return;
    }
    mkdir((folder + "/empty").c_str(), 0755);
    // A port picked this way may be taken by the time the server binds it: try again.
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
        if (Launch(folder, port != 0 ? port : FreePort())) {
            break;
        }
        process_.Stop();
    }
}

bool VsFtpServer::Launch(const std::string& folder, int port) {
    const std::string config = folder + "/vsftpd.conf";
    WriteFile(config,
              "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
              "listen_port=" +
                  std::to_string(port) +
                  "\nbackground=NO\n"
                  // The sandbox kills sessions on this system, and the default secure folder
                  // may not exist.
                  "seccomp_sandbox=NO\nsecure_chroot_dir=" +
                  folder + "/empty\n" +
                  "anonymous_enable=YES\nno_anon_password=YES\nanon_root=" + root_ +
                  "\nwrite_enable=YES\nanon_upload_enable=YES\nlocal_enable=NO\n"
                  "pasv_enable=YES\npasv_address=127.0.0.1\nport_enable=YES\n"
                  "connect_from_port_20=NO\nxferlog_enable=NO\nsyslog_enable=NO\n"
                  "tcp_wrappers=NO\ndirmessage_enable=NO\n");
    if (!process_.Start({"/usr/sbin/vsftpd", config}, false)) {
        return false;
    }
    for (int i = 0; i < 250; ++i) {
        if (Greets(port)) {
            port_ = port;
            return true;
        }
        if (!process_.Running()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}
