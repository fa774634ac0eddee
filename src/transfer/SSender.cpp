#include "transfer/SSender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <system_error>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "core/DisplayName.h"
#include "core/EventCodes.h"
#include "net/PortNumber.h"
#include "net/StartNetwork.h"
#include "net/TcpStream.h"
#include "secure/TlsStream.h"
#include "transfer/BatchFrames.h"
#include "transfer/FolderWalk.h"
#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/ResumeSend.h"
#include "transfer/WireFormat.h"

namespace {

// Fills the buffer unless the file ends first: the bytes read, or -1 on a read error.
ssize_t ReadPiece(int file, char* buffer, size_t capacity) {
    size_t filled = 0;
    while (filled < capacity) {
        ssize_t n = read(file, buffer + filled, capacity - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(filled);
}

}  // namespace

SSender::SSender() {
    if (!StartNetwork()) {
        WriteLog("Can't talk to the network\n");
    }
}

SSender::~SSender() {
    stopping_ = true;
    // Every wait of a transfer watches the waker; the thread then resets its connection.
    wake_.Wake();
    std::list<Worker> ending;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ending.splice(ending.end(), workers_);
    }
    for (Worker& worker : ending) {
        worker.thread.join();
    }
}

void SSender::Cancel() {
    std::vector<Worker*> running;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        for (Worker& worker : workers_) {
            if (!worker.done && !worker.lastEvent) {
                worker.claimed = true;
                running.push_back(&worker);
            }
        }
    }
    wake_.Wake();
    for (Worker* worker : running) {
        worker->thread.join();
    }
    std::lock_guard<std::mutex> guard(mutex_);
    workers_.remove_if([&](const Worker& worker) {
        return std::find(running.begin(), running.end(), &worker) != running.end();
    });
    wake_.Drain();
    stopping_ = false;
}

void SSender::SetCallback(Callback* callback) {
    callback_ = callback;
}

bool SSender::SendFile(const std::string& address, const std::string& port,
                       const std::string& path) {
    return Start(address, port, path, std::nullopt, false);
}

bool SSender::SendFile(const std::string& address, const std::string& port, const std::string& path,
                       const SecurePeer& peer) {
    return Start(address, port, path, peer, false);
}

bool SSender::SendBatch(const std::string& address, const std::string& port,
                        const SecurePeer& peer) {
    return batchNotes_ != nullptr && Start(address, port, "", peer, true);
}

void SSender::SetIdentity(const Identity* identity, const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    identity_ = identity;
    name_ = name;
}

bool SSender::Start(const std::string& address, const std::string& port, const std::string& path,
                    std::optional<SecurePeer> peer, bool batch) {
    if (stopping_ || busy_.exchange(true)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    JoinEndedLocked();
    workers_.emplace_back();
    Worker& worker = workers_.back();
    try {
        worker.thread =
            std::thread(&SSender::RunSendThread, this, &worker, address, port, path, peer, batch);
    } catch (const std::system_error&) {
        workers_.pop_back();
        busy_ = false;
        return false;
    }
    return true;
}

void SSender::JoinEndedLocked() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done && !it->claimed) {
            it->thread.join();  // past its last event: it only returns now
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void SSender::RunSendThread(Worker* worker, std::string address, std::string port, std::string path,
                            std::optional<SecurePeer> peer, bool batch) {
    int file = -1;
    const std::chrono::milliseconds stall(stallTimeoutMs_.load());
    // Connecting has no limit of ours: the time-out is the system's own.
    auto tcp = std::make_unique<TcpStream>(TcpStream::kNoStallLimit, &wake_);
    std::unique_ptr<ByteStream> tls;  // takes the connection over once secure
    SecureEnd end;
    Outcome outcome = Outcome::NoConnection;
    if (Connect(*tcp, address, port)) {
        tcp->SetStallTimeout(stall);
        outcome = peer ? SecureTransfer(tcp, tls, *peer, path, batch, file, stall, end)
                       : Transfer(*tcp, path, file, stall);
    } else if (stopping_) {
        outcome = Outcome::Stopped;
    }
    // Everything is closed before the last event: a message box may keep it waiting long.
    // Only a confirmed file, or a connection that carried nothing, ends in order.
    ByteStream* stream = tls ? tls.get() : tcp.get();
    if (stream != nullptr) {
        if (outcome == Outcome::Sent || outcome == Outcome::CannotOpen) {
            stream->Close();
        } else {
            stream->Reset();
        }
    }
    if (file >= 0) {
        close(file);
    }
    // Decided under the lock, so that Cancel either waits for this thread or lets its last
    // event be.
    bool report = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        report = !stopping_ && outcome != Outcome::Stopped;
        worker->lastEvent = report;
    }
    SendNotes* sendNotes = sendNotes_;
    // A connection that never came about, or a file that would not open, says so by its
    // event alone.
    if (peer && sendNotes != nullptr && report && outcome != Outcome::CannotOpen &&
        outcome != Outcome::NoConnection) {
        if (outcome == Outcome::Sent) {
            end.outcome = SendNotes::Outcome::Delivered;
        }
        sendNotes->SecureSendEnded(end.outcome, end.reason);
    }
    Callback* callback = callback_;
    busy_ = false;
    if (report) {
        if (outcome == Outcome::CannotOpen) {
            WriteLog("Send failed trying to read file\n");
        } else if (outcome == Outcome::SendFailed) {
            WriteLog("Send failed\n");
        }
        if (callback != nullptr) {
            switch (outcome) {
                case Outcome::NoConnection:
                    callback->FoundBuddy(nullptr, nullptr);
                    break;
                case Outcome::CannotOpen:
                    callback->ReportError(error_code::kCannotOpenToSend);
                    break;
                case Outcome::Sent:
                    callback->FinishedSending();
                    break;
                case Outcome::SendFailed:
                    callback->ReportError(error_code::kSendFailed);
                    break;
                case Outcome::Stopped:
                    break;
            }
        }
    }
    std::lock_guard<std::mutex> guard(mutex_);
    worker->done = true;
}

bool SSender::Open(const std::string& path, int& file, int64_t& size, int64_t& mtime) {
    // Non-blocking open, so that a FIFO cannot hang the thread; only plain files are sent.
    file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode) ||
        fcntl(file, F_SETFL, 0) != 0) {
        return false;
    }
    size = info.st_size;
    mtime = info.st_mtime;
    return true;
}

SSender::Outcome SSender::Transfer(ByteStream& stream, const std::string& path, int& file,
                                   std::chrono::milliseconds stall) {
    int64_t size = 0;
    int64_t mtime = 0;
    if (!Open(path, file, size, mtime)) {
        return Outcome::CannotOpen;
    }
    const std::string header = wire::EncodeHeader(wire::NameFromPath(path), size);
    if (Send(stream, header.data(), header.size()) != SendResult::Ok) {
        return stopping_ ? Outcome::Stopped : Outcome::SendFailed;
    }
    const Outcome body = SendBody(stream, file, size);
    if (body != Outcome::Sent) {
        return body;
    }
    stream.EndOutput();  // the end of the stream is the end of the file
    // The buddy closes its side having taken every byte once the file stands under its name.
    if (!stream.AwaitPeerEnd(net::DeadlineAfter(stall))) {
        if (stopping_) {
            return Outcome::Stopped;
        }
        WriteLog("Send(): buddy did not confirm the file\n");
        return Outcome::SendFailed;
    }
    return Outcome::Sent;
}

SSender::Outcome SSender::SendBody(ByteStream& stream, int file, int64_t size, int64_t from,
                                   Session* session) {
    // The buddy takes exactly the announced size: a file that grows meanwhile is sent up to
    // it, one that shrinks fails.
    std::vector<char> buffer(wire::kPieceSize);
    // Resumed: the part the buddy holds counts as sent.
    if (from > 0 && lseek(file, from, SEEK_SET) != from) {
        WriteLog("Send failed trying to read file\n");
        return Outcome::SendFailed;
    }
    int64_t taken = from;
    int64_t sent = from;
    if (session != nullptr) {
        session->progress.bytesDone += static_cast<uint64_t>(from);
    }
    bool ok = true;
    while (ok) {
        const size_t want =
            static_cast<size_t>(std::min<int64_t>(size - taken, int64_t(buffer.size())));
        if (want == 0) {
            break;
        }
        const ssize_t n = ReadPiece(file, buffer.data(), want);
        if (n < static_cast<ssize_t>(want)) {
            if (stopping_) {
                return Outcome::Stopped;
            }
            WriteLog(n < 0 ? "Send failed trying to read file\n"
                           : "Send failed: the file got shorter while it was sent\n");
            return Outcome::SendFailed;
        }
        const SendResult result = Send(stream, buffer.data(), static_cast<size_t>(n));
        ok = result == SendResult::Ok;
        if (result == SendResult::Failed) {
            WriteLog("Send(): socket error\n");
        } else if (result == SendResult::Stalled) {
            WriteLog("Send(): buddy stopped reading\n");
        }
        taken += n;
        if (static_cast<size_t>(n) < buffer.size()) {
            break;  // the last, partial piece goes without a progress report
        }
        if (ok) {
            sent += n;
        }
        if (session != nullptr) {
            session->progress.bytesDone += static_cast<uint64_t>(n);
            Report(*session);
            continue;
        }
        Callback* callback = callback_;
        if (callback != nullptr && !stopping_) {
            callback->ShowProgress(sent, size);
        }
    }
    if (stopping_) {
        return Outcome::Stopped;
    }
    return ok ? Outcome::Sent : Outcome::SendFailed;
}

SSender::Outcome SSender::SecureTransfer(std::unique_ptr<TcpStream>& tcp,
                                         std::unique_ptr<ByteStream>& tls, const SecurePeer& peer,
                                         const std::string& path, bool batch, int& file,
                                         std::chrono::milliseconds stall, SecureEnd& end) {
    const Identity* identity = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        identity = identity_;
    }
    if (identity == nullptr) {
        WriteLog("Send failed: this copy has no key for a secure transfer\n");
        end = {SendNotes::Outcome::NotSecure, "no key"};
        return Outcome::SendFailed;
    }
    std::string error;
    std::unique_ptr<TlsStream> secure =
        TlsStream::Connect(std::move(tcp), *identity, net::DeadlineAfter(stall), error);
    if (!secure) {
        if (stopping_) {
            return Outcome::Stopped;
        }
        WriteLog("Send failed: no secure connection: " + DisplayName(error, 200) + "\n");
        end = {SendNotes::Outcome::NotSecure, error};
        return Outcome::SendFailed;
    }
    // Before any frame: another key may not even learn which file was meant for it.
    if (!peer.Accepts(secure->peerKeyHash())) {
        WriteLog("Send failed: the buddy's identity changed, nothing sent\n");
        end = {SendNotes::Outcome::IdentityMismatch, secure->peerKeyHash()};
        tls = std::move(secure);
        return Outcome::SendFailed;
    }
    SendNotes* notes = sendNotes_;
    if (notes != nullptr && !stopping_) {
        notes->SecureSessionStarted(secure->peerKeyHash(), secure->cipherName());
    }
    FrameLink link(*secure);
    tls = std::move(secure);
    return batch ? Batch(link) : Frames(link, path, file, end);
}

SSender::Session::Session(FrameLink& frames)
    : link(frames),
      reader(
          std::make_unique<FrameReader>(std::initializer_list<frame::Type>{frame::Type::Hello})) {}

std::string SSender::HelloFrame() {
    frame::Hello hello;
    std::lock_guard<std::mutex> guard(mutex_);
    hello.name = name_;
    return frame::Encode(hello);
}

SSender::Outcome SSender::Frames(FrameLink& link, const std::string& path, int& file,
                                 SecureEnd& end) {
    int64_t size = 0;
    int64_t mtime = 0;
    if (!Open(path, file, size, mtime)) {
        return Outcome::CannotOpen;
    }
    Session session(link);
    session.pending = HelloFrame();
    frame::File header;
    header.size = static_cast<uint64_t>(size);
    header.mtime = mtime;
    header.path = std::string(wire::NameFromPath(path));
    std::string reason;
    switch (ExchangeFile(session, file, header, reason)) {
        case FileResult::Kept:
            break;
        case FileResult::Refused:
            end = {SendNotes::Outcome::Refused, reason};
            link.Send(frame::Encode(frame::End{}));
            return Outcome::SendFailed;
        case FileResult::Failed:
            return Outcome::SendFailed;
        case FileResult::Stopped:
            return Outcome::Stopped;
    }
    // The file is there: how the session closes changes nothing.
    link.Send(frame::Encode(frame::End{}));
    link.EndOutput();
    link.AwaitPeerEnd(net::DeadlineAfter(std::chrono::seconds(5)));
    return Outcome::Sent;
}

SSender::FileResult SSender::ExchangeFile(Session& session, int file, const frame::File& header,
                                          std::string& reason) {
    FrameLink& link = session.link;
    FrameReader& reader = *session.reader;
    const auto failed = [this] { return stopping_ ? FileResult::Stopped : FileResult::Failed; };
    // Reads one frame of the expected types; says in the log why none came.
    const auto expect = [&](std::initializer_list<frame::Type> types) {
        reader.Next();
        reader.Expect(types);
        const FrameLink::Got got = link.ReadFrame(reader);
        if (got == FrameLink::Got::Frame || stopping_) {
            return got == FrameLink::Got::Frame;
        }
        WriteLog(got == FrameLink::Got::Refused ? "Send failed: the buddy spoke out of turn\n"
                                                : "Send(): buddy did not confirm the file\n");
        return false;
    };
    const uint64_t bytesBefore = session.progress.bytesDone;
    if (!link.Send(session.pending + frame::Encode(header))) {
        return failed();
    }
    session.pending.clear();
    if (!session.helloSeen) {
        if (!expect({frame::Type::Hello})) {
            return failed();
        }
        session.helloSeen = true;
    }
    if (!expect({frame::Type::Verdict})) {
        return failed();
    }
    const frame::Verdict verdict = std::get<frame::Verdict>(reader.message());
    if (!verdict.accept) {
        WriteLog("Send refused by buddy: " + DisplayName(verdict.reason, 200) + "\n");
        reason = verdict.reason;
        return FileResult::Refused;
    }
    int64_t start = 0;
    if (verdict.offset != 0) {  // Resume: the buddy holds the file's first part
        ResumeSend::Failure failure = ResumeSend::Failure::None;
        const std::optional<uint64_t> agreed =
            ResumeSend::Agree(link, file, header.size, verdict.offset, stopping_, failure);
        if (!agreed) {
            if (stopping_) {
                return FileResult::Stopped;
            }
            WriteLog(failure == ResumeSend::Failure::CannotRead
                         ? "Send failed trying to read file\n"
                     : failure == ResumeSend::Failure::NoAnswer
                         ? "Send(): buddy did not confirm the file\n"
                         : "Send failed: the buddy spoke out of turn\n");
            return FileResult::Failed;
        }
        start = static_cast<int64_t>(*agreed);
        if (start > 0) {
            WriteLog("Resuming at byte " + std::to_string(start) + " of " +
                     std::to_string(header.size) + "\n");
        }
    }
    const Outcome body = SendBody(link, file, static_cast<int64_t>(header.size), start,
                                  session.notes != nullptr ? &session : nullptr);
    if (body != Outcome::Sent) {
        return failed();
    }
    // Only the acknowledgement says the file stands under its name there.
    if (!expect({frame::Type::Ack})) {
        return failed();
    }
    if (!std::get<frame::Ack>(reader.message()).kept) {
        WriteLog("Send failed: the buddy could not keep the file\n");
        return FileResult::Failed;
    }
    session.progress.bytesDone = bytesBefore + header.size;
    return FileResult::Kept;
}

void SSender::Report(Session& session) {
    if (session.notes != nullptr && !stopping_) {
        session.notes->BatchProgressed(session.progress);
    }
}

SSender::Outcome SSender::Batch(FrameLink& link) {
    Session session(link);
    session.notes = batchNotes_;
    session.pending = HelloFrame();
    std::string path;
    while (!stopping_ && !session.last && session.notes->BatchEntry(session.index, path)) {
        struct stat info {};
        const bool folder = stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        const Outcome outcome = folder ? FolderGroup(session, path) : LooseGroup(session, path);
        if (outcome != Outcome::Sent) {
            return outcome;
        }
    }
    if (stopping_) {
        return Outcome::Stopped;
    }
    link.Send(session.pending + frame::Encode(frame::End{}));
    link.EndOutput();
    link.AwaitPeerEnd(net::DeadlineAfter(std::chrono::seconds(5)));
    return Outcome::Sent;
}

SSender::Outcome SSender::LooseGroup(Session& session, const std::string& first) {
    // One BATCH for up to this many loose files, so that a long queue is never all held and
    // looked at at once.
    constexpr size_t kMostLoose = 1000;
    struct Loose {
        std::string path;
        bool readable = false;
        frame::File header;
    };
    std::vector<Loose> group;
    std::string path = first;
    batch_frames::Batch announced;
    for (;;) {
        Loose loose;
        loose.path = path;
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            break;  // a folder is a group of its own
        }
        loose.readable = stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                         access(path.c_str(), R_OK) == 0;
        if (loose.readable) {
            loose.header.size = static_cast<uint64_t>(info.st_size);
            loose.header.mtime = info.st_mtime;
            loose.header.path = std::string(wire::NameFromPath(path));
            ++announced.files;
            announced.totalBytes += loose.header.size;
        }
        group.push_back(std::move(loose));
        if (group.size() == kMostLoose ||
            !session.notes->BatchEntry(session.index + group.size(), path)) {
            break;
        }
    }
    // A session of one file alone goes as the single-file exchange, which every secure
    // receiver takes; it then ends, and what is queued meanwhile takes the next session.
    const bool alone =
        session.index == 0 && group.size() == 1 && !session.notes->BatchEntry(1, path);
    if (!alone && announced.files > 0) {
        session.pending += batch_frames::EncodeBatch(announced);
    }
    session.progress.filesKnown += announced.files;
    session.progress.bytesKnown += announced.totalBytes;
    session.progress.entriesThrough = session.index + group.size();
    Report(session);
    for (const Loose& loose : group) {
        const size_t index = session.index++;
        session.notes->BatchEntryStarted(index);
        int file = -1;
        int64_t size = 0;
        int64_t mtime = 0;
        if (!loose.readable || !Open(loose.path, file, size, mtime)) {
            if (file >= 0) {
                close(file);
            }
            WriteLog("Send failed trying to read file\n");
            session.notes->BatchEntryEnded(index, BatchNotes::EntryEnd::CannotOpen, "");
            continue;
        }
        std::string reason;
        const FileResult result = ExchangeFile(session, file, loose.header, reason);
        close(file);
        if (result == FileResult::Failed) {
            return Outcome::SendFailed;
        }
        if (result == FileResult::Stopped) {
            return Outcome::Stopped;
        }
        ++session.progress.filesDone;
        session.notes->BatchEntryEnded(index,
                                       result == FileResult::Kept ? BatchNotes::EntryEnd::Delivered
                                                                  : BatchNotes::EntryEnd::Refused,
                                       reason);
        Report(session);
    }
    if (alone) {
        session.last = true;
    }
    return Outcome::Sent;
}

SSender::Outcome SSender::FolderGroup(Session& session, const std::string& folder) {
    const size_t index = session.index++;
    session.notes->BatchEntryStarted(index);
    const FolderWalk::Listing listing = FolderWalk::Walk(folder);
    if (!listing.ok) {
        WriteLog("Send failed: cannot list the folder\n");
        session.notes->BatchEntryEnded(index, BatchNotes::EntryEnd::CannotOpen, "folder");
        return Outcome::Sent;
    }
    std::vector<std::string> left;
    for (const FolderWalk::Skipped& skipped : listing.skipped) {
        left.push_back(skipped.path + ": " + FolderWalk::Describe(skipped.why));
    }
    if (!listing.complete) {
        left.push_back(listing.root + ": more than 100,000 entries; the rest stays behind");
    }
    if (!left.empty()) {
        session.notes->BatchSkipped(index, left);
    }
    batch_frames::Batch announced;
    announced.files = static_cast<uint32_t>(listing.files.size());
    announced.folders = static_cast<uint32_t>(listing.folders.size());
    announced.totalBytes = listing.totalBytes;
    announced.root = listing.root;
    session.pending += batch_frames::EncodeBatch(announced);
    for (const std::string& path : listing.folders) {
        session.pending += batch_frames::EncodeFolder(path);
        // Many folders go in writes of a few dozen KiB, not in one held whole.
        if (session.pending.size() > 65536) {
            if (!session.link.Send(session.pending)) {
                return stopping_ ? Outcome::Stopped : Outcome::SendFailed;
            }
            session.pending.clear();
        }
    }
    session.progress.filesKnown += listing.files.size();
    session.progress.bytesKnown += listing.totalBytes;
    session.progress.entriesThrough = session.index;
    Report(session);
    std::string refused;
    std::string firstReason;
    size_t refusedCount = 0;
    for (const FolderWalk::File& entry : listing.files) {
        const int file = FolderWalk::Open(folder, entry.path);
        std::string reason = "cannot be read";
        FileResult result = FileResult::Refused;
        if (file >= 0) {
            frame::File header;
            header.size = entry.size;
            header.mtime = entry.modified;
            header.path = entry.path;
            result = ExchangeFile(session, file, header, reason);
            close(file);
        }
        if (result == FileResult::Failed) {
            return Outcome::SendFailed;
        }
        if (result == FileResult::Stopped) {
            return Outcome::Stopped;
        }
        ++session.progress.filesDone;
        if (result == FileResult::Refused) {
            // The user hears of a few by name; the log has them all.
            WriteLog("Not sent: " + DisplayName(entry.path, 255) + ": " + DisplayName(reason, 200) +
                     "\n");
            if (++refusedCount <= 3) {
                refused += (refused.empty() ? "" : ", ") + entry.path + " (" + reason + ")";
            }
            if (firstReason.empty()) {
                firstReason = reason;
            }
        }
        Report(session);
    }
    if (!listing.files.empty() && refusedCount == listing.files.size()) {
        // Declined, no room, nothing taken: the folder did not go, whatever its tree did.
        session.notes->BatchEntryEnded(index, BatchNotes::EntryEnd::Refused, firstReason);
        return Outcome::Sent;
    }
    if (refusedCount > 3) {
        refused += " and " + std::to_string(refusedCount - 3) + " more";
    }
    session.notes->BatchEntryEnded(index, BatchNotes::EntryEnd::Delivered, refused);
    return Outcome::Sent;
}

bool SSender::Connect(TcpStream& stream, const std::string& address, const std::string& port) {
    const std::optional<uint16_t> number = net::ParsePort(port);
    if (!number) {
        if (!stopping_) {
            WriteLog("Send failed: " + DisplayName(port, 64) + " is not a port number\n");
        }
        return false;
    }
    // Non-blocking throughout, so that every wait can be bounded and ended by destruction.
    if (!stream.Create()) {
        return false;
    }
    stream.SetAbortiveClose(true);
    // No name lookup: text that is not a dotted address fails like a refused connection.
    const in_addr_t host = inet_addr(address.c_str());
    bool connected = false;
    if (host != INADDR_NONE && !stopping_) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = host;
        target.sin_port = htons(*number);
        connected = stream.Connect(target) && !stopping_;
    }
    if (!connected) {
        if (!stopping_) {
            WriteLog("Failed to connect to ");
            WriteLog(address);
            WriteLog("\n");
        }
        return false;
    }
    WriteLog("Connected to buddy at ");
    WriteLog(address);
    WriteLog("\n");
    return true;
}

SSender::SendResult SSender::Send(ByteStream& stream, const char* data, size_t length) {
    const long n = stream.Write(data, length);
    if (n == static_cast<long>(length)) {
        return SendResult::Ok;
    }
    if (n < 0 && errno == ETIMEDOUT) {
        return SendResult::Stalled;
    }
    if (n < 0 && errno == ECANCELED) {
        return SendResult::Stopped;
    }
    return SendResult::Failed;
}
