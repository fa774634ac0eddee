#include "ftp/FTPer.h"

#include <sys/stat.h>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "core/EventCodes.h"
#include "core/Lock.h"
#include "ftp/FtpText.h"
#include "net/StartNetwork.h"

std::atomic<Callback*> FTPer::callback_{nullptr};

FTPer::FTPer() = default;

FTPer::~FTPer() {
    {
        std::lock_guard<std::mutex> guard(jobMutex_);
        stopping_ = true;
        queuedStarts_ = 0;
    }
    link_.Abort();
    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();  // destroyed from inside one of its own events
        } else {
            worker_.join();
        }
    }
}

void FTPer::Configure(Callback* callback, const std::string& serverHost,
                      const std::string& userName, const std::string& userPass,
                      const std::string& targetFolder) {
    callback_ = callback;
    Lock lock;
    settings_ = Settings{serverHost, userName, userPass, targetFolder};
}

void FTPer::AddFile(const std::string& path) {
    Lock lock;
    pending_.push_back(path);
}

void FTPer::Start() {
    std::lock_guard<std::mutex> guard(jobMutex_);
    if (stopping_) {
        return;
    }
    if (running_) {
        ++queuedStarts_;
        return;
    }
    if (worker_.joinable()) {
        worker_.join();  // the last job has ended; its thread is on its way out
    }
    running_ = true;
    try {
        worker_ = std::thread(&FTPer::RunJobs, this);
    } catch (...) {
        running_ = false;
    }
}

bool FTPer::Busy() const {
    std::lock_guard<std::mutex> guard(jobMutex_);
    return running_;
}

void FTPer::BytesSent(int64_t sent, int64_t total) {
    if (Callback* listener = Listener()) {
        listener->ShowProgress(sent, total);
    }
}

Callback* FTPer::Listener() const {
    return stopping_ ? nullptr : callback_.load();
}

void FTPer::RunJobs() {
    for (;;) {
        Run();
        std::lock_guard<std::mutex> guard(jobMutex_);
        if (queuedStarts_ == 0 || stopping_) {
            queuedStarts_ = 0;
            running_ = false;
            return;
        }
        --queuedStarts_;
    }
}

bool FTPer::LogOn(const Settings& settings) {
    return link_.Logon(settings.serverHost, kPort, settings.userName, settings.userPass, "", "", "",
                       "", 0, 0);
}

bool FTPer::Upload(const Settings& settings, const std::string& path, const std::string& remotePath,
                   int64_t size) {
    // A file that cost the connection leaves the next one to log on anew. A server that
    // hung up or fell out of step gets this file once more after a new logon; a stall or a
    // refusal does not, so no file holds the job twice as long.
    return link_.StoreFile(this, size, remotePath, path, true,
                           [&] { return !stopping_ && LogOn(settings); });
}

void FTPer::Run() {
    StartNetwork();
    Settings settings;
    std::vector<std::string> files;
    {
        Lock lock;
        files.swap(pending_);
        settings = settings_;
    }

    bool loggedOn = false;
    try {
        loggedOn = LogOn(settings);
        if (loggedOn) {
            WriteLog("Connected to FTP server: ");
            WriteLog(ftp::LogSafe(settings.serverHost));
            WriteLog("\n");
        }
    } catch (...) {
        loggedOn = false;
    }
    if (Callback* listener = Listener()) {
        listener->FoundBuddy(nullptr, nullptr);
    }
    if (!loggedOn) {
        link_.CloseControl();
        if (stopping_) {
            return;
        }
        if (link_.replyText() == FTPLink::kNoIpv4Address) {
            WriteLog("FTP: ");
            WriteLog(ftp::LogSafe(settings.serverHost));
            WriteLog(" has no IPv4 address\n");
        } else {
            WriteLog("Failed to connect to FTP server: ");
            WriteLog(ftp::LogSafe(settings.serverHost));
            WriteLog("\n");
        }
        if (Callback* listener = Listener()) {
            listener->ReportError(error_code::kFtpLogonFailed);
        }
        if (Callback* listener = Listener()) {
            listener->LostBuddy(true);
        }
        return;
    }
    if (Callback* listener = Listener()) {
        listener->ShowProgress(1, 100);
    }

    for (const std::string& path : files) {
        if (stopping_) {
            break;
        }
        const std::string name = ftp::UploadName(path);
        const std::string remotePath = settings.targetFolder + "/" + name;
        struct stat info {};
        const int64_t size = stat(path.c_str(), &info) == 0 ? info.st_size : 0;
        const bool copied = Upload(settings, path, remotePath, size);
        if (stopping_) {
            break;
        }
        WriteLog(copied ? "Copied to FTP server:" : "Failed to copy to FTP server: ");
        if (Callback* listener = Listener()) {
            listener->ReportError(error_code::kFtpFileTried);
        }
        WriteLog(ftp::LogSafe(name));
        WriteLog("\n");
    }
    link_.Quit();
    if (Callback* listener = Listener()) {
        listener->FinishedSending();
    }
}
