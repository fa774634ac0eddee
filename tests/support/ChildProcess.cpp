#include "support/ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "support/Files.h"

extern char** environ;

namespace {

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0, end = 0; start <= folders.size(); start = end + 1) {
        end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty() || pid_ > 0) {
        return false;
    }
    // Everything the child needs is made before fork: after it, only plain system calls.
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        variables[text.substr(0, text.find('='))] = text;
    }
    for (const std::string& text : options.env) {
        variables[text.substr(0, text.find('='))] = text;
    }
    std::vector<std::string> envText;
    for (auto& [name, text] : variables) {
        envText.push_back(text);
    }
    std::vector<std::string> args = argv;
    const std::string program = FindProgram(args[0]);
    std::vector<char*> envp = Pointers(envText);
    std::vector<char*> argp = Pointers(args);

    int netns = -1;
    if (!options.netns.empty()) {
        netns = open(("/run/netns/" + options.netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (netns < 0) {
            return false;
        }
    }
    int pipeFds[2] = {-1, -1};
    int execed[2] = {-1, -1};  // closed by the exec: until then the child holds the test's fds
    if ((options.pipe && pipe2(pipeFds, O_CLOEXEC) != 0) || pipe2(execed, O_CLOEXEC) != 0) {
        return false;
    }
    const int output = open(options.output.empty() ? "/dev/null" : options.output.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that dies
        setpgid(0, 0);
        if ((netns >= 0 && setns(netns, CLONE_NEWNET) != 0) || output < 0) {
            (void)!write(execed[1], "x", 1);
            _exit(126);
        }
        dup2(options.pipe ? pipeFds[1] : output, 1);
        dup2(output, 2);
        dup2(open("/dev/null", O_RDONLY), 0);
        execve(program.c_str(), argp.data(), envp.data());
        (void)!write(execed[1], "x", 1);
        _exit(127);
    }
    for (int fd : {netns, output, pipeFds[1], execed[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    output_ = pipeFds[0];
    char failed = 0;
    while (pid_ > 0 && read(execed[0], &failed, 1) < 0 && errno == EINTR) {
    }
    close(execed[0]);
    return pid_ > 0 && failed == 0;
}

bool ChildProcess::Fork(const std::function<void()>& body) {
    if (pid_ > 0) {
        return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        body();
        _exit(0);
    }
    return pid_ > 0;
}

bool ChildProcess::Running() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        pid_ = -1;
    }
    return pid_ > 0;
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (pid_ > 0 && !WaitUntil([&] { return !Running(); }, limit)) {
        return -1;
    }
    return status_;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds limit) {
    if (pid_ > 0) {
        const pid_t group = pid_;
        kill(pid_, signal);
        if (Wait(limit) == -1) {
            Kill();
            return -1;
        }
        kill(-group, SIGKILL);  // what it left behind in its group
    }
    return status_;
}

void ChildProcess::Kill() {
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
    }
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds limit) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (output_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd entry{output_, POLLIN, 0};
        char c;
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0 ||
            read(output_, &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return std::string();
}

int RunInChild(const std::function<void()>& body) {
    ChildProcess child;
    return child.Fork(body) ? child.Wait(std::chrono::hours(1)) : -1;
}

bool ExitedWith(int status, int code) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}
