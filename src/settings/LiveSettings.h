#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// The main settings in memory, named like their registry values, as one plain record.
struct SettingsValues {
    std::string ftpip, target, serverport, servaddr, clientport, autoport, user, pass;
    int32_t useftp = 0;
    int32_t auto_ = 0;  // "auto" is a keyword
    int32_t manual = 1;
    int32_t server = 1;
    // This computer's name as other copies show it, and whether our announces offer secure
    // transfers.
    std::string computername;
    int32_t advertisesecure = 1;
    // Files from computers neither paired nor allowed: "ask", "refuse" or "accept".
    std::string strangers = "ask";
};

// The process-wide copy of the main settings. The UI thread edits it while the discovery
// thread writes the buddy's address and port, so texts are reached through copies taken
// under a lock, and the flags are atomic.
class LiveSettingsStore {
public:
    enum class Text {
        ftpip,
        target,
        serverport,
        servaddr,
        clientport,
        autoport,
        user,
        pass,
        computername,
        strangers
    };

    std::string Get(Text which) const;
    void Set(Text which, const std::string& value);

    // The address and port to send to, read and written together so that no reader sees the
    // address of one buddy with the port of another.
    void GetBuddy(std::string& address, std::string& port) const;
    void SetBuddy(const std::string& address, const std::string& port);

    SettingsValues Snapshot() const;
    void Assign(const SettingsValues& values);

    std::atomic<int32_t> useftp{0};
    std::atomic<int32_t> auto_{0};
    std::atomic<int32_t> manual{1};
    std::atomic<int32_t> server{1};
    std::atomic<int32_t> advertisesecure{1};

private:
    std::string& Field(Text which);
    const std::string& Field(Text which) const;

    mutable std::mutex mutex_;
    std::string ftpip_, target_, serverport_, servaddr_, clientport_, autoport_, user_, pass_,
        computername_, strangers_ = "ask";
};

extern LiveSettingsStore LiveSettings;
