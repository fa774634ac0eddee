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
#include "ftp/TimedSocket.h"

namespace {

bool Resolve(const std::string& host, int32_t port, sockaddr_in& address) {
    if (port <= 0 || port > 65535) {
        return false;
    }
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_aton(host.c_str(), &address.sin_addr) != 0) {
        return true;
    }
    if (host.empty()) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// The local file of one transfer, closed on every return.
class LocalFile {
public:
    LocalFile() = default;
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    ~LocalFile() { Close(); }

    bool OpenForReading(const std::string& path) {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        // A folder opens too, but cannot be read: refuse it before anything is sent.
        if (fd_ >= 0 && (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))) {
            Close();
        }
        return fd_ >= 0;
    }
    // Opened, not yet truncated: an existing file keeps its contents until the server has
    // agreed to send the new ones.
    bool OpenForWriting(const std::string& path) {
        fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        return fd_ >= 0;
    }
    bool Truncate() { return ftruncate(fd_, 0) == 0; }
    int fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

private:
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
    replyText_ = kUnableToCreateSocket;
    auto socket = std::make_unique<TimedSocket>(timeout_, &cancel_);
    if (!socket->Create()) {
        return false;
    }
    replyText_ = kUnableToConnect;
    sockaddr_in address{};
    if (cancel_.tripped() || !Resolve(host, port, address) || !socket->Connect(address) ||
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
    if (control_ != nullptr && control_->HasInput()) {
        DropControl(true);
    }
    return Connected();
}

bool FTPLink::SendLine(const std::string& command) {
    replyText_ = kNetworkError;
    if (writer_ == nullptr || !ftp::IsSafeCommand(command)) {
        return false;
    }
    if (!writer_->WriteLine(command)) {
        // Part of the line may have gone out: nothing more can be said on this connection.
        DropControl(ServerEnded(errno));
        return false;
    }
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
    replyClass_ = replies.code() / 100;
    if (replies.code() == 421) {
        // The server is closing the connection: nothing more will be answered on it.
        DropControl(true);
    }
    return true;
}

bool FTPLink::ReadReply() {
    return ReadReplyWithin(false, timeout_);
}

bool FTPLink::RunCommand(const std::string& command) {
    if (!command.empty() && !SendLine(command)) {
        return false;
    }
    return ReadFinalReply() && replyClass_ == 2;
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
    if (!OpenControl(direct ? host : firewallHost, direct ? port : firewallPort)) {
        return FailLogon();
    }
    if (!RunCommand("")) {
        return FailLogon();
    }
    const logon::Sequence& sequence = logon::kSequences[logonKind];
    int step = 0;
    while (step >= 0 && step < sequence.count) {
        const logon::Step& current = sequence.steps[step];
        if (!SendLine(logon::Command(current.command, values)) || !ReadFinalReply()) {
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
    if (!RunCommand("TYPE I")) {
        return false;
    }

    TimedSocket listener(timeout_, &cancel_);
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
        if (!listener.Create() || !listener.Bind(local) || !listener.Listen(5) ||
            !listener.LocalAddress(bound)) {
            return false;
        }
        if (!RunCommand("PORT " + ftp::PortArgument(local.sin_addr, ntohs(bound.sin_port)))) {
            return false;
        }
    }

    if (!SendLine((retrieve ? "RETR " : "STOR ") + remotePath)) {
        return false;
    }
    // From here on, a failure that returns before the server's last reply to this command
    // has been read closes the control connection: that reply must not be taken later as
    // the answer to another command.
    TimedSocket data(timeout_, &cancel_);
    if (passive) {
        if (!data.Create() || !data.StartConnect(dataPeer)) {
            replyText_ = kNetworkError;
            CloseControl();
            return false;
        }
    }
    if (!ReadReply()) {
        return false;
    }
    if (replyClass_ != 1) {
        return false;
    }
    if (!passive && !listener.Accept(data, &serverAddress_.sin_addr)) {
        CloseControl();
        return false;
    }
    listener.Close();
    if (!data.FinishConnect()) {
        replyText_ = kNetworkError;
        CloseControl();
        return false;
    }
    if (retrieve && !file.Truncate()) {
        replyText_ = kFileError;
        CloseControl();
        return false;
    }

    const datacopy::End end = retrieve ? datacopy::Download(data, file.fd())
                                       : datacopy::Upload(file.fd(), data, sink, totalSize);
    if (end == datacopy::End::FileError) {
        replyText_ = kFileError;
        CloseControl();
        return false;
    }
    if (end == datacopy::End::StreamFailed) {
        // A reset, not an orderly close: the server must not store a cut-off upload as if
        // it were whole. Its reply is read all the same, to keep the connection in step.
        data.Reset();
        file.Close();
        if (RunCommand("")) {
            replyText_ = kNetworkError;
        }
        return false;
    }
    data.Close();
    file.Close();
    return RunCommand("");
}
