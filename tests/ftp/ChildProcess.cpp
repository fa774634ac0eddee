#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

bool ChildProcess::Start(const std::vector<std::string>& argv, bool captureOutput) {
    int pipeFds[2] = {-1, -1};
    if (captureOutput && pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);  // so that Stop reaches the processes it forks for its sessions
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(captureOutput ? pipeFds[1] : 2, 1);
        execv(args[0], args.data());
        _exit(127);
    }
    if (captureOutput) {
        close(pipeFds[1]);
        output_ = pipeFds[0];
    }
    return pid_ > 0;
}

std::string ChildProcess::ReadLine(int limitMs) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (output_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd entry{output_, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) {
            return std::string();
        }
        char c;
        if (read(output_, &c, 1) != 1) {
            return std::string();
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return std::string();
}

bool ChildProcess::Running() {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

void ChildProcess::Stop() {
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
    if (pid_ <= 0) {
        return;
    }
    kill(-pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) != 0) {
            kill(-pid_, SIGKILL);  // session processes the server left behind
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}
