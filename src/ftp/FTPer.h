#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftp/BytesSendInterface.h"
#include "ftp/FTPLink.h"

class Callback;

// The upload job: keeps the FTP server's settings and the paths waiting for upload, and on
// each Start runs one job on its worker thread that logs on (port 21, the plain logon),
// stores every waiting file into the target folder, logs each outcome, reports through
// the Callback and ends with QUIT. Jobs never overlap: a Start during a job runs another
// job right after it.
//
// Progress: BytesSent and the job's ShowProgress carry 64-bit counts, so files of 2 GiB
// and more report their true, rising byte counts.
class FTPer : public BytesSendInterface {
public:
    static constexpr int32_t kPort = 21;

    FTPer();
    // Ends a running job (its waits are cut short; it raises no further events), drops
    // queued starts, and joins the worker thread.
    virtual ~FTPer();

    // Stores the callback (shared by every FTPer) and the settings; a running job keeps the
    // settings it copied when it started.
    void Configure(Callback* callback, const std::string& serverHost, const std::string& userName,
                   const std::string& userPass, const std::string& targetFolder);
    // Appends a full local path to the waiting list; takes the process Lock.
    void AddFile(const std::string& path);
    // Runs a job on the worker thread and returns at once; while a job is running, the new
    // one is queued behind it.
    void Start();
    // True from Start until the job (and any queued start) has made its last event.
    bool Busy() const;

    // The sink each transfer reports to: passes the counts on to ShowProgress.
    void BytesSent(int64_t sent, int64_t total) override;

private:
    struct Settings {
        std::string serverHost;
        std::string userName;
        std::string userPass;
        std::string targetFolder;
    };

    void RunJobs();
    // One job, on the worker thread.
    void Run();
    bool LogOn(const Settings& settings);
    // One file of the job; true when the server has it whole.
    bool Upload(const Settings& settings, const std::string& path, const std::string& remotePath,
                int64_t size);
    // The callback for the next event; null while stopping, or before any Configure.
    Callback* Listener() const;

    // Guarded by the process Lock.
    Settings settings_;
    FTPLink link_;
    std::vector<std::string> pending_;

    static std::atomic<Callback*> callback_;

    mutable std::mutex jobMutex_;  // guards the three below; never held during a job
    std::thread worker_;
    bool running_ = false;
    int queuedStarts_ = 0;
    std::atomic<bool> stopping_{false};
};
