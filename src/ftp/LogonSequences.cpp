#include "ftp/LogonSequences.h"

namespace logon {

namespace {
constexpr int D = kDone;
constexpr int F = kFail;
}  // namespace

// {command, next on 2xx, next on 3xx}
const Sequence kSequences[kKinds] = {
    {3, {{0, D, 1}, {1, D, 2}, {2, D, F}}},
    {6, {{3, 2, 1}, {4, 2, F}, {5, F, 3}, {0, D, 4}, {1, D, 5}, {2, D, F}}},
    {5, {{3, 2, 1}, {4, 2, F}, {6, D, 3}, {1, D, 4}, {2, D, F}}},
    {4, {{7, 1, 1}, {0, D, 2}, {1, D, 3}, {2, D, F}}},
    {5, {{3, 2, 1}, {4, 2, F}, {0, D, 3}, {1, D, 4}, {2, D, F}}},
    {3, {{6, D, 1}, {1, D, 2}, {2, D, F}}},
    {5, {{8, 2, 1}, {4, 2, F}, {0, D, 3}, {1, D, 4}, {2, D, F}}},
    {3, {{9, F, 1}, {1, D, 2}, {2, D, F}}},
    {3, {{10, D, 1}, {11, D, 2}, {2, D, F}}},
};

std::string Command(int code, const Values& v) {
    switch (code) {
        case 0:
            return "USER " + v.userName;
        case 1:
            return "PASS " + v.userPass;
        case 2:
            return "ACCT " + v.account;
        case 3:
            return "USER " + v.firewallUser;
        case 4:
            return "PASS " + v.firewallPass;
        case 5:
            return "SITE " + v.host;
        case 6:
            return "USER " + v.userName + "@" + v.host;
        case 7:
            return "OPEN " + v.host;
        case 8:
            return "USER " + v.firewallUser + "@" + v.host;
        case 9:
            return "USER " + v.userName + "@" + v.host + " " + v.firewallUser;
        case 10:
            return "USER " + v.userName + "@" + v.firewallUser + "@" + v.host;
        case 11:
            return "PASS " + v.userPass + "@" + v.firewallPass;
        default:
            return std::string();
    }
}

}  // namespace logon
