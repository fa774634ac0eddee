#include "ftp/FTPLink.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "ftp/DataCopy.h"
#include "ftp/FtpText.h"
#include "ftp/LineReader.h"
#include "ftp/LineWriter.h"
#include "ftp/LogonSequences.h"
#include "ftp/ReplyReader.h"
#include "net/TcpStream.h"

namespace {

enum class Resolved { Found, NoIpv4, Failed };

// True when the name has addresses of this family.
bool HasAddresses(const std::string& host, int family, sockaddr_in* first) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    if (first != nullptr) {
        first->sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    }
    freeaddrinfo(found);
    return true;
}

Resolved Resolve(const std::string& host, int32_t port, sockaddr_in& address) {
    if (port <= 0 || port > 65535) {
        return Resolved::Failed;
    }
    // A blank or control byte makes no host: the resolvers would read only what comes
    // before it (before a NUL, or "127.0.0.1" of "127.0.0.1\nanything") and connect there.
    for (const char c : host) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return Resolved::Failed;
        }
    }
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_aton(host.c_str(), &address.sin_addr) != 0) {
        return Resolved::Found;
    }
    if (host.empty()) {
        return Resolved::Failed;
    }
    if (HasAddresses(host, AF_INET, &address)) {
        return Resolved::Found;
    }
    // Worth telling apart: the settings name a server this client cannot reach at all.
    return HasAddresses(host, AF_INET6, nullptr) ? Resolved::NoIpv4 : Resolved::Failed;
}

// The local file of one transfer, closed on every return.
class LocalFile {
public:
    LocalFile() = default;
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    ~LocalFile() { Close(); }

    // Only a regular file is taken, and before anything is sent: a folder cannot be read,
    // a device need not end, and opening a named pipe would wait for a writer for ever
    // (hence O_NONBLOCK, lifted once the file is known to be regular).
    bool OpenForReading(const std::string& path) { return OpenRegular(path, O_RDONLY); }
    // Opened, not yet truncated: an existing file keeps its contents until the server has
    // agreed to send the new ones.
    bool OpenForWriting(const std::string& path) { return OpenRegular(path, O_WRONLY | O_CREAT); }
    bool Truncate() { return ftruncate(fd_, 0) == 0; }
    int fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

private:
    bool OpenRegular(const std::string& path, int flags) {
        fd_ = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
        struct stat info {};
        if (fd_ >= 0 && (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) ||
                         fcntl(fd_, F_SETFL, flags & O_ACCMODE) != 0)) {
            Close();
        }
        return fd_ >= 0;
    }

    int fd_ = -1;
};

// Whether a failed read or write means the server ended the connection, rather than that
// we stopped waiting for it.
bool ServerEnded(int error) {
    return error != ETIMEDOUT && error != ECANCELED;
}

}  // namespace

FTPLink::FTPLink() = default;

FTPLink::~FTPLink() {
    CloseControl();
}

bool FTPLink::OpenControl(const std::string& host, int32_t port) {
    // A second connection never leaves the first one behind.
    CloseControl();
    hungUp_ = false;
    outOfStep_ = false;
    replyText_ = kUnableToCreateSocket;
    auto socket = std::make_unique<TcpStream>(timeout_, &cancel_);
    if (!socket->Create()) {
        return false;
    }
    replyText_ = kUnableToConnect;
    sockaddr_in address{};
    const Resolved resolved = cancel_.woken() ? Resolved::Failed : Resolve(host, port, address);
    if (resolved == Resolved::NoIpv4) {
        replyText_ = kNoIpv4Address;
    }
    if (resolved != Resolved::Found || !socket->Connect(address) ||
        !socket->PeerAddress(serverAddress_)) {
        return false;
    }
    replyText_ = kUnableToCreateSocket;
    control_ = std::move(socket);
    reader_ = std::make_unique<LineReader>(*control_);
    writer_ = std::make_unique<LineWriter>(*control_);
    return true;
}

void FTPLink::CloseControl() {
    writer_.reset();
    reader_.reset();
    control_.reset();
}

bool FTPLink::Connected() const {
    return control_ != nullptr;
}

void FTPLink::DropControl(bool serverEnded) {
    hungUp_ = hungUp_ || serverEnded;
    CloseControl();
}

bool FTPLink::CheckIdle() {
    // What the server said may have come in one read with the last answer, and wait here.
    if (control_ != nullptr &&
        ((reader_ != nullptr && reader_->HasBuffered()) || control_->HasInput())) {
        DropControl(true);
    }
    return Connected();
}

bool FTPLink::SendLine(const std::string& command) {
    replyText_ = kNetworkError;
    if (writer_ == nullptr || !ftp::IsSafeCommand(command)) {
        return false;
    }
    // Whatever waits unread now would be taken for the answer to this command.
    if (reader_->HasBuffered() || control_->HasInput()) {
        outOfStep_ = true;
        CloseControl();
        return false;
    }
    if (!writer_->WriteLine(command)) {
        // Part of the line may have gone out: nothing more can be said on this connection.
        DropControl(ServerEnded(errno));
        return false;
    }
    ++linesSent_;
    return true;
}

bool FTPLink::ReadLine() {
    if (reader_ == nullptr) {
        replyText_ = kNetworkError;
        return false;
    }
    std::string line;
    const LineReader::Result result = reader_->ReadLine(line);
    if (result != LineReader::Result::Line) {
        // Ended, failed, stalled or hostile: what comes next could not be trusted.
        const bool ended = result == LineReader::Result::End ||
                           (result == LineReader::Result::Failed && ServerEnded(errno));
        replyText_ = kNetworkError;
        DropControl(ended);
        return false;
    }
    replyText_ = std::move(line);
    if (!replyText_.empty()) {
        replyClass_ = ftp::ReplyClassOf(replyText_);
    }
    return true;
}

bool FTPLink::ReadReplyWithin(bool finalOnly, std::chrono::milliseconds limit) {
    if (reader_ == nullptr) {
        replyText_ = kNetworkError;
        return false;
    }
    // One bound for the whole reply: a server trickling lines or preliminary replies
    // cannot hold the job for longer than one silence could.
    control_->SetDeadline(std::chrono::steady_clock::now() + limit);
    ReplyReader replies(*reader_);
    std::string line;
    const ReplyReader::Result result = replies.Read(finalOnly, line);
    const bool ended = result == ReplyReader::Result::End ||
                       (result == ReplyReader::Result::Failed && ServerEnded(errno));
    control_->ClearDeadline();
    if (result != ReplyReader::Result::Reply) {
        replyText_ = kNetworkError;
        DropControl(ended);
        return false;
    }
    replyText_ = std::move(line);
    replyCode_ = replies.code();
    replyClass_ = replyCode_ / 100;
    if (replies.code() == 421) {
        // The server is closing the connection: nothing more will be answered on it.
        DropControl(true);
    }
    return true;
}

bool FTPLink::ReadReply() {
    return ReadReplyWithin(false, timeout_);
}

bool FTPLink::FallOutOfStep() {
    outOfStep_ = true;
    CloseControl();
    return false;
}

bool FTPLink::ReadAnswerTo(const std::string& command) {
    if (!ReadFinalReply()) {
        return false;
    }
    // replyText_ keeps the stray line: it tells what went wrong.
    return ftp::ReplyFits(command, replyCode_) || FallOutOfStep();
}

bool FTPLink::RunCommand(const std::string& command) {
    if (!command.empty() && !SendLine(command)) {
        return false;
    }
    return ReadAnswerTo(command) && replyClass_ == 2;
}

void FTPLink::Quit() {
    SendLine("QUIT");
    CloseControl();
}

bool FTPLink::FailLogon() {
    CloseControl();
    return false;
}

bool FTPLink::Logon(const std::string& host, int32_t port, const std::string& userName,
                    const std::string& userPass, const std::string& account,
                    const std::string& firewallHost, const std::string& firewallUser,
                    const std::string& firewallPass, int32_t firewallPort, int32_t logonKind) {
    if (logonKind < 0 || logonKind >= logon::kKinds) {
        return false;
    }
    const bool direct = logonKind == 0;
    logon::Values values{host, userName, userPass, account, firewallUser, firewallPass};
    if (port != 21) {
        values.host = host + ":" + std::to_string(port);
    }
    const std::string& to = direct ? host : firewallHost;
    const int32_t toPort = direct ? port : firewallPort;
    // A server that fell out of step once (it greeted twice, say) gets one more chance;
    // one that does so again is not logged on to.
    return LogonOnce(to, toPort, values, logonKind) ||
           (outOfStep_ && LogonOnce(to, toPort, values, logonKind));
}

bool FTPLink::LogonOnce(const std::string& host, int32_t port, const logon::Values& values,
                        int32_t logonKind) {
    if (!OpenControl(host, port) || !RunCommand("")) {
        return FailLogon();
    }
    const logon::Sequence& sequence = logon::kSequences[logonKind];
    int step = 0;
    while (step >= 0 && step < sequence.count) {
        const logon::Step& current = sequence.steps[step];
        const std::string command = logon::Command(current.command, values);
        if (!SendLine(command) || !ReadAnswerTo(command)) {
            return FailLogon();
        }
        if (replyClass_ != 2 && replyClass_ != 3) {
            return FailLogon();
        }
        const int next = replyClass_ == 2 ? current.on2xx : current.on3xx;
        if (next == logon::kDone) {
            return true;
        }
        if (next == logon::kFail) {
            replyText_ = kLogonFailed;
            return FailLogon();
        }
        step = next;
    }
    replyText_ = kLogonFailed;
    return FailLogon();
}

bool FTPLink::TransferFile(BytesSendInterface* sink, int64_t totalSize,
                           const std::string& remotePath, const std::string& localPath,
                           bool passive, bool retrieve) {
    LocalFile file;
    if (!(retrieve ? file.OpenForWriting(localPath) : file.OpenForReading(localPath))) {
        replyText_ = kUnableToOpenFile;
        return false;
    }
    // A path that could not be sent fails the file before anything is, so the connection
    // stays as it was.
    const std::string transferCommand = (retrieve ? "RETR " : "STOR ") + remotePath;
    if (!ftp::IsSafeCommand(transferCommand)) {
        replyText_ = kNetworkError;
        return false;
    }
    if (!RunCommand("TYPE I")) {
        return false;
    }

    // Every data socket closes with a reset unless it is told otherwise once the whole
    // file has gone across: so a crash, a kill or an exit in the middle of a file never
    // looks like its end to the server.
    TcpStream listener(timeout_, &cancel_);
    sockaddr_in dataPeer = serverAddress_;
    if (passive) {
        if (!RunCommand("PASV")) {
            return false;
        }
        ftp::PassiveTarget target;
        if (!ftp::ParsePassiveReply(replyText_, target)) {
            return false;
        }
        // The address in the reply is not followed: a hostile server could aim the data
        // connection at any other host. Only its port is taken.
        dataPeer.sin_port = htons(static_cast<uint16_t>(target.port));
    } else {
        replyText_ = kNetworkError;
        sockaddr_in local{};
        if (control_ == nullptr || !control_->LocalAddress(local)) {
            return false;
        }
        local.sin_port = 0;
        sockaddr_in bound{};
        if (!listener.Create() || !listener.SetAbortiveClose(true) || !listener.Bind(local) ||
            !listener.Listen(5) || !listener.LocalAddress(bound)) {
            return false;
        }
        if (!RunCommand("PORT " + ftp::PortArgument(local.sin_addr, ntohs(bound.sin_port)))) {
            return false;
        }
    }

    if (!SendLine(transferCommand)) {
        return false;
    }
    // From here on, a failure that returns before the server's last reply to this command
    // has been read closes the control connection: that reply must not be taken later as
    // the answer to another command.
    TcpStream data(timeout_, &cancel_);
    if (passive) {
        if (!data.Create() || !data.SetAbortiveClose(true) || !data.StartConnect(dataPeer)) {
            replyText_ = kNetworkError;
            CloseControl();
            return false;
        }
    }
    // The server's first answer must be its preliminary one; any further ones come before
    // the closing reply and are read past there.
    if (!ReadReply()) {
        return false;
    }
    if (!ftp::ReplyFits(transferCommand, replyCode_)) {
        return FallOutOfStep();
    }
    if (replyClass_ != 1) {
        return false;
    }
    if (!passive && !listener.Accept(data, &serverAddress_.sin_addr)) {
        CloseControl();
        return false;
    }
    listener.Close();
    if (!data.SetAbortiveClose(true) || !data.FinishConnect()) {
        replyText_ = kNetworkError;
        CloseControl();
        return false;
    }

    datacopy::End end = datacopy::End::FileError;
    if (!retrieve || file.Truncate()) {
        end = retrieve ? datacopy::Download(data, file.fd())
                       : datacopy::Upload(file.fd(), data, sink, totalSize);
    }
    if (end != datacopy::End::Finished) {
        // Cut off: the reset tells the server the file is not whole. Its last word on the
        // transfer is still read, briefly, to stay in step; whatever it says, this failed.
        data.Reset();
        file.Close();
        const bool answered = ReadReplyWithin(true, kClosingReplyAfterReset);
        if (answered && !ftp::ReplyFits(transferCommand, replyCode_)) {
            FallOutOfStep();
        }
        if (end == datacopy::End::FileError || end == datacopy::End::FileEnded) {
            replyText_ = kFileError;
        } else if (!answered || replyClass_ == 2) {
            replyText_ = kNetworkError;
        }
        return false;
    }
    // The whole file was handed over: this close, and only this one, ends it in order.
    data.Close();
    file.Close();
    return ReadAnswerTo(transferCommand) && replyClass_ == 2 && ConfirmInStep();
}

bool FTPLink::ConfirmInStep() {
    // A second answer to the transfer (a 451 after the 226, another 226) comes before
    // NOOP's own, so one round trip tells it apart. One already here is read, not asked for.
    const std::string answer = replyText_;
    const int code = replyCode_;
    const bool unasked = reader_->HasBuffered() || control_->HasInput();
    if ((!unasked && !SendLine("NOOP")) || !ReadReply()) {
        // The server's last word on the file was its 226 if it simply went (the end of the
        // connection); a stall or a line refused for unread input leaves it unconfirmed.
        if (!hungUp_ || outOfStep_) {
            return false;
        }
    } else if (replyCode_ != 421 && (unasked || !ftp::ReplyFits("NOOP", replyCode_))) {
        // 421 is a hang-up like the end of the connection; 500 or 502 is a server without
        // NOOP, in step all the same.
        return FallOutOfStep();
    }
    replyText_ = answer;
    replyCode_ = code;
    replyClass_ = code / 100;
    return true;
}

bool FTPLink::StoreFile(BytesSendInterface* sink, int64_t totalSize, const std::string& remotePath,
                        const std::string& localPath, bool passive,
                        const std::function<bool()>& logOn) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!CheckIdle() && !logOn()) {
            return false;
        }
        const uint64_t sentBefore = linesSent_;
        if (TransferFile(sink, totalSize, remotePath, localPath, passive, false)) {
            return true;
        }
        // After a failed step nothing said on this connection is trusted any longer.
        if (linesSent_ != sentBefore) {
            CloseControl();
        }
        if (!hungUp_ && !outOfStep_) {
            return false;
        }
    }
    return false;
}
