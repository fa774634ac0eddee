#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ftp/LogonSequences.h"
#include "net/Waker.h"

class BytesSendInterface;
class LineReader;
class LineWriter;
class TcpStream;

// Zingwell's FTP client: one control connection, its logon, and file transfers over data
// connections. Every operation blocks the calling thread, for at most `timeout` without
// progress at each wait, and reports failure as false with the reason left in replyText().
// Used by one thread at a time; only Abort() may be called from another.
class FTPLink {
public:
    // The fixed texts replyText() takes when a step fails.
    static constexpr const char* kUnableToCreateSocket = "Unable to create socket";
    static constexpr const char* kUnableToConnect = "Unable to connect to server";
    static constexpr const char* kUnableToOpenFile = "Unable to open file on local machine";
    static constexpr const char* kFileError = "File error";
    static constexpr const char* kNetworkError = "Network error";
    static constexpr const char* kLogonFailed = "Logon failed";
    // The server's host resolves to IPv6 addresses only; this client speaks IPv4.
    static constexpr const char* kNoIpv4Address = "Host has no IPv4 address";

    static constexpr std::chrono::milliseconds kDefaultTimeout{60000};
    // After a data connection was cut off, the server's last word on it is awaited only
    // this long: a server that stalled it is likely stalled on the control connection too.
    static constexpr std::chrono::milliseconds kClosingReplyAfterReset{3000};

    FTPLink();
    FTPLink(const FTPLink&) = delete;
    FTPLink& operator=(const FTPLink&) = delete;
    virtual ~FTPLink();

    // Opens the control connection (to the firewall for kinds 1 to 8), reads the greeting and
    // runs the logon sequence of logonKind (0 to 8). A failed logon leaves no connection.
    bool Logon(const std::string& host, int32_t port, const std::string& userName,
               const std::string& userPass, const std::string& account,
               const std::string& firewallHost, const std::string& firewallUser,
               const std::string& firewallPass, int32_t firewallPort, int32_t logonKind);

    // Sends the command (none when empty) and reads its final reply, past any preliminary
    // ones; true for a reply of class 2. A reply the command cannot get (ftp::ReplyFits)
    // was meant for another: the connection is closed and OutOfStep() is set.
    bool RunCommand(const std::string& command);
    // Writes the command and CR LF. A command holding CR, LF or NUL is refused unsent; so is
    // any command while the server has said something unasked (the connection is closed).
    bool SendLine(const std::string& command);
    // Reads one whole reply, multi-line ones included, passing over lines that belong to
    // no reply; replyText() is its last line. A reply must be whole within the time-out.
    bool ReadReply();
    // Reads one line into replyText().
    bool ReadLine();
    // Connects to host (dotted IPv4 or a name) and port, closing any earlier connection.
    bool OpenControl(const std::string& host, int32_t port);
    // Closes the control connection; harmless without one.
    void CloseControl();
    // Sends QUIT without waiting for the answer, and closes.
    void Quit();

    // Stores (retrieve false) or fetches (retrieve true) one file over a passive or active
    // data connection, in image type. totalSize is handed to sink with every progress report.
    // True when the whole file went across, the server's closing reply was of class 2 and a
    // NOOP after it got NOOP's own answer (the server is still in step).
    // When a failure leaves a reply of the server unread, the control connection is closed,
    // so that no later command takes that reply for its own.
    bool TransferFile(BytesSendInterface* sink, int64_t totalSize, const std::string& remotePath,
                      const std::string& localPath, bool passive, bool retrieve);
    // Uploads one file as a job does: logs on through logOn first when there is no usable
    // connection; a failed step after anything was sent closes the connection, so the next
    // file starts on a new logon; a failure because the server hung up or fell out of step
    // is tried once more on a new logon.
    bool StoreFile(BytesSendInterface* sink, int64_t totalSize, const std::string& remotePath,
                   const std::string& localPath, bool passive, const std::function<bool()>& logOn);

    const std::string& replyText() const { return replyText_; }
    int replyClass() const { return replyClass_; }
    bool Connected() const;
    // True when the server ended the control connection (a 421 reply, or it closed or
    // reset the connection) since it was last opened; the link then has no connection.
    bool HungUp() const { return hungUp_; }
    // True when the server said something no command asked for, or answered a command with a
    // reply it cannot get, since the connection was last opened; the link then has none.
    bool OutOfStep() const { return outOfStep_; }
    // True when the control connection is open and the server has said nothing unasked.
    // Anything it did say (a 421 before it goes, its end of the stream, a stray reply)
    // could be taken for the answer to the next command: the connection is closed instead.
    bool CheckIdle();

    // How long any one wait may last without progress.
    void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // From any thread: every wait ends at once and every later operation fails, for good.
    void Abort() { cancel_.Wake(); }

private:
    bool FailLogon();
    bool LogonOnce(const std::string& host, int32_t port, const logon::Values& values,
                   int32_t logonKind);
    // Reads the final reply to command; false when none came or it does not fit the command.
    bool ReadAnswerTo(const std::string& command);
    bool FallOutOfStep();
    // After a transfer's final reply of class 2: sends NOOP, and the transfer counts only when
    // the answer is NOOP's own (200, or 500/502 from a server without it) or the server went
    // (421, end of connection). Anything else was a second answer to the transfer: the
    // connection is closed as out of step.
    bool ConfirmInStep();
    // Reads one reply (finalOnly: past preliminary ones), which must be whole within limit.
    bool ReadReplyWithin(bool finalOnly, std::chrono::milliseconds limit);
    bool ReadFinalReply() { return ReadReplyWithin(true, timeout_); }
    // Closes the control connection after a failure of its own; errno tells whether the
    // server ended it.
    void DropControl(bool serverEnded);

    std::string replyText_;
    std::unique_ptr<LineReader> reader_;
    std::unique_ptr<LineWriter> writer_;
    std::unique_ptr<TcpStream> control_;
    int replyClass_ = 0;
    int replyCode_ = 0;  // of the last whole reply
    bool hungUp_ = false;
    bool outOfStep_ = false;
    uint64_t linesSent_ = 0;

    sockaddr_in serverAddress_{};  // the control connection's peer
    std::chrono::milliseconds timeout_ = kDefaultTimeout;
    Waker cancel_;
};
