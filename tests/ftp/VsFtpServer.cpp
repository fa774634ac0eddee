#include "VsFtpServer.h"

#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
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

bool VsFtpServer::Installed() {
    return access("/usr/sbin/vsftpd", X_OK) == 0 && getpwnam("ftp") != nullptr;
}

std::string VsFtpServer::TransferLog() const {
    return log_.empty() || !FileExists(log_) ? std::string() : ReadFile(log_);
}

std::map<pid_t, pid_t> VsFtpServer::Family() const {
    // /proc tells each process's parent; the family grows from the listener down.
    std::map<pid_t, pid_t> parents;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        char state = 0;
        int parent = 0;
        if (close != std::string::npos &&
            sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2) {
            parents[std::stoi(name)] = parent;
        }
    }
    std::map<pid_t, pid_t> family;
    if (process_.pid() <= 0) {
        return family;
    }
    family[process_.pid()] = 0;
    for (bool grown = true; grown;) {
        grown = false;
        for (const auto& [pid, parent] : parents) {
            if (family.count(parent) != 0 && family.count(pid) == 0) {
                family[pid] = parent;
                grown = true;
            }
        }
    }
    return family;
}

void VsFtpServer::SignalSessions(int signal) {
    // Only the processes that serve the data (those with no children of their own): a
    // session's privileged parent that saw its child stop would wait for it for ever.
    const std::map<pid_t, pid_t> family = Family();
    for (const auto& [pid, parent] : family) {
        bool hasChildren = false;
        for (const auto& [other, otherParent] : family) {
            hasChildren = hasChildren || otherParent == pid;
        }
        if (pid != process_.pid() && !hasChildren) {
            kill(pid, signal);
        }
    }
}

VsFtpServer::~VsFtpServer() {
    // Sessions leave the listener's process group, so they are ended one by one; as the
    // subreaper, this process reaps those orphaned on the way.
    const std::map<pid_t, pid_t> family = Family();
    for (const auto& [pid, parent] : family) {
        kill(pid, SIGKILL);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const auto& [pid, parent] : family) {
        while (waitpid(pid, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

VsFtpServer::VsFtpServer(int port, const std::string& moreConfig) : moreConfig_(moreConfig) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
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
    log_ = folder + "/transfers.log";
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
                  "connect_from_port_20=NO\nsyslog_enable=NO\n"
                  "xferlog_enable=YES\nxferlog_std_format=NO\nvsftpd_log_file=" +
                  log_ +
                  "\n"
                  "tcp_wrappers=NO\ndirmessage_enable=NO\n" +
                  moreConfig_);
    if (!process_.Start({"/usr/sbin/vsftpd", config})) {
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
