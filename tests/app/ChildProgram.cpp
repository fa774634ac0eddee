#include "app/ChildProgram.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return name;
}

}  // namespace

ChildProgram::~ChildProgram() {
    Kill();
}

bool ChildProgram::Start(const std::vector<std::string>& argv, const Options& options) {
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
    std::vector<char*> envp;
    for (std::string& text : envText) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    const std::string program = FindProgram(args[0]);
    std::vector<char*> argp;
    for (std::string& word : args) {
        argp.push_back(word.data());
    }
    argp.push_back(nullptr);

    int netns = -1;
    if (!options.netns.empty()) {
        netns = open(("/run/netns/" + options.netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (netns < 0) {
            return false;
        }
    }
    const int output = open(options.output.empty() ? "/dev/null" : options.output.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that dies
        setpgid(0, 0);
        if ((netns >= 0 && setns(netns, CLONE_NEWNET) != 0) || output < 0) {
            _exit(126);
        }
        dup2(output, 1);
        dup2(output, 2);
        const int input = open("/dev/null", O_RDONLY);
        dup2(input, 0);
        execve(program.c_str(), argp.data(), envp.data());
        _exit(127);
    }
    if (netns >= 0) {
        close(netns);
    }
    if (output >= 0) {
        close(output);
    }
    return pid_ > 0;
}

bool ChildProgram::Running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        pid_ = -1;
        return false;
    }
    return true;
}

int ChildProgram::Wait(std::chrono::milliseconds limit) {
    if (pid_ > 0 && !WaitUntil([&] { return !Running(); }, limit)) {
        return -1;
    }
    return status_;
}

int ChildProgram::Stop(int signal, std::chrono::milliseconds limit) {
    if (pid_ > 0) {
        kill(pid_, signal);
        if (Wait(limit) == -1) {
            Kill();
            return -1;
        }
    }
    return status_;
}

void ChildProgram::Kill() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
    }
}
