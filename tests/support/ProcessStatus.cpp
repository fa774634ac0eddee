#include "support/ProcessStatus.h"

#include <sstream>
#include <string>

#include "support/Files.h"

ProcessStatus ProcessStatus::Of(pid_t pid) {
    ProcessStatus status;
    std::istringstream lines(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            status.threads = std::stoi(line.substr(8));
        } else if (line.rfind("VmRSS:", 0) == 0) {
            status.residentKb = std::stol(line.substr(6));
        }
    }
    return status;
}
