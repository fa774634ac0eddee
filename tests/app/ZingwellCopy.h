#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Files.h"

// One copy of the real desktop program as a user has it: a home and two registry files of
// its own (in a folder of the test), started in a network namespace, ended as a user would.
class ZingwellCopy {
public:
    explicit ZingwellCopy(const std::string& name);

    std::string Home() const { return folder_ + "/home"; }
    std::string ReceiveFolder() const { return Home() + "/Zingwell"; }
    std::string UserRegistry() const { return folder_ + "/config/zingwell/user.reg"; }
    std::string QueueFile() const { return ReceiveFolder() + "/Files2Send.txt"; }
    std::string Queue() const { return ReadFile(QueueFile()); }
    // The queue file's text for these paths.
    static std::string QueueText(const std::vector<std::string>& paths);
    // Waits, kPatience at most, until the queue holds these paths and no others.
    bool Queues(const std::vector<std::string>& paths) const;
    std::string Log() const;
    // Waits, kPatience at most, until its log holds the text.
    bool LogShows(const std::string& text) const;
    // Whether the log ends as a clean end leaves it: "Shutting down" last.
    bool LogEndsCleanly() const;
    // What the program printed, for the failure messages.
    std::string Output() const;

    // The per-user registry as an earlier run left it: lines such as "auto"=dword:00000001.
    void StoreSettings(const std::vector<std::string>& values);
    // Files from any computer, as before there was a question: for tests of something else.
    // On a first run (nothing else stored) it stays a first run.
    static inline const std::string kAcceptStrangers = "\"strangers\"=\"accept\"";
    void AcceptStrangers() { StoreSettings({kAcceptStrangers}); }
    // The settings a user leaves after choosing a mode, or none (servaddr set: not a first
    // run), on port 6677; `more` values too.
    void StoreMode(int automatic, int manual, int server, const std::string& buddy,
                   const std::vector<std::string>& more = {});
    // The queue file as an earlier run left it.
    void LeaveInQueue(const std::vector<std::string>& paths);

    // Starts it in the namespace ("" for the test's own) with QT_QPA_PLATFORM offscreen,
    // unless `env` says otherwise.
    bool Start(const std::string& netns, const std::vector<std::string>& env = {},
               const std::vector<std::string>& args = {});
    // Starts the program once more as this user, from the folder, with these arguments, and
    // waits for its end: the wait status (-1 when it did not end in time). What it printed
    // goes to `output`.
    int RunAgain(const std::vector<std::string>& args, const std::string& folder,
                 const std::string& netns, const std::vector<std::string>& env = {},
                 std::string* output = nullptr);
    bool Running() { return process_.Running(); }
    pid_t pid() const { return process_.pid(); }
    // Seen from its own namespace: a TCP socket listening on the port, a UDP socket bound to it.
    bool ListensOn(int port) const;
    bool HasUdpPort(int port) const;
    // As the desktop ends a program (SIGTERM), with a generous limit; the wait status, or -1.
    int Stop();
    // Stop, and whether it ended with status 0.
    bool StopsCleanly() { return ExitedWith(Stop()); }

private:
    std::vector<std::string> Environment(const std::vector<std::string>& env) const;

    std::string folder_;
    ChildProcess process_;
};

// Waits long enough for anything a loaded machine may take, short of a hang.
inline constexpr std::chrono::seconds kPatience{30};
// Waits kPatience at most for the condition.
inline bool Soon(const std::function<bool()>& condition) {
    return WaitUntil(condition, kPatience);
}
