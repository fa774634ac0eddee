#pragma once

#include <string>

// The nine ways of logging on: kind 0 is the plain USER/PASS/ACCT logon, kinds 1 to 8 pass
// through a firewall or proxy first. Each row is a list of steps; a step sends one command
// and names the next step for a 2xx and for a 3xx reply.
namespace logon {

inline constexpr int kDone = -1;
inline constexpr int kFail = -2;
inline constexpr int kKinds = 9;
inline constexpr int kMaxSteps = 6;

struct Step {
    int command;  // a command code, see Command()
    int on2xx;    // next step, kDone or kFail
    int on3xx;
};

struct Sequence {
    int count;
    Step steps[kMaxSteps];
};

extern const Sequence kSequences[kKinds];

// What the commands carry. host is the server's host, followed by ":port" when the port
// is not 21.
struct Values {
    std::string host;
    std::string userName;
    std::string userPass;
    std::string account;
    std::string firewallUser;
    std::string firewallPass;
};

// The command line of a command code 0..11 (empty for any other code).
std::string Command(int code, const Values& values);

}  // namespace logon
