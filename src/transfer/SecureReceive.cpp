#include "transfer/SecureReceive.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/PartResume.h"
#include "transfer/ReceiveSession.h"
#include "transfer/ReceivedFile.h"
#include "transfer/ReceivedName.h"
#include "transfer/RelativePath.h"
#include "transfer/SafeTree.h"
#include "transfer/WireFormat.h"

namespace secure_receive {

namespace {

using receive_loop::Ending;

// Between two frames of a session of groups the sender waits for nothing of ours.
constexpr auto kBetweenFrames = std::chrono::seconds(60);
// The paths of one group, every folder on their way counted once: what its memory grows with.
constexpr size_t kMaxPathBytes = 16 << 20;
// Refused files of one group named in the log; the rest are counted.
constexpr uint32_t kRefusalsLogged = 20;

// Whether the folder's file system has room for the file (unknown counts as room: the write
// will tell).
bool HasRoom(const std::string& folder, uint64_t size) {
    struct statvfs info {};
    if (statvfs(folder.c_str(), &info) != 0) {
        return true;
    }
    return size <= static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

// What a FILE is answered with.
struct Opening {
    enum class Kind { Accept, Refuse, EndSession };
    Kind kind = Kind::Accept;
    std::string reason;
    uint64_t offset = 0;  // accepted: the part held already, offered for resuming
};

// Where one file's body goes: the lone file of an older sender, or a file of a group.
class FileSink {
public:
    virtual Opening Open(const frame::File& header) = 0;
    virtual bool Write(const char* data, size_t length) = 0;
    // The path it stands under below the receive folder, or false.
    virtual bool Publish(const frame::File& header, std::string& stored) = 0;
    virtual void Discard() = 0;
    // Resuming, after a VERDICT that offered `offset`: where the body starts, or nothing when
    // the session must end.
    virtual std::optional<uint64_t> Settle(FrameLink&, uint64_t) { return std::nullopt; }
    // The session ended before the file was whole: what came may wait for a later session.
    virtual void Keep(const frame::File&) {}

protected:
    ~FileSink() = default;
};

// The file of a session without BATCH: the plain receiver's session and file.
class LoneFile final : public FileSink {
public:
    LoneFile(ReceivedFile& file, ReceiveSession& session, const std::string& folder,
             PartResume* resume)
        : file_(file), session_(session), folder_(folder), resume_(resume) {}
    Opening Open(const frame::File& header) override {
        header_ = header;
        // A part of this file an earlier session left, taken over for this one.
        const uint64_t offset = resume_ != nullptr ? resume_->Offer(header, file_) : 0;
        if (header.size > static_cast<uint64_t>(INT64_MAX) ||
            !HasRoom(folder_, header.size - offset)) {
            if (offset > 0) {
                resume_->Keep(header, file_);  // the part waits for room
            }
            file_.Announce(header.path);
            return {Opening::Kind::Refuse, "no space"};
        }
        if (offset == 0 && !Feed(header, 0)) {
            return {Opening::Kind::Refuse, "cannot write"};
        }
        return {Opening::Kind::Accept, {}, offset};
    }
    std::optional<uint64_t> Settle(FrameLink& link, uint64_t offset) override {
        const std::optional<uint64_t> settled = resume_->Settle(link, file_, offset);
        if (!settled || !Feed(header_, *settled)) {
            return std::nullopt;
        }
        return settled;
    }
    void Keep(const frame::File& header) override {
        if (resume_ != nullptr) {
            resume_->Keep(header, file_);
        }
    }
    bool Write(const char* data, size_t length) override {
        return session_.Feed(data, length) == ReceiveSession::Status::Progress;
    }
    bool Publish(const frame::File& header, std::string& stored) override {
        if (!file_.Publish()) {
            return false;
        }
        // Under the name it was kept as: another file may have had the one it came with.
        stored = file_.StoredName().empty() ? header.path : file_.StoredName();
        return true;
    }
    void Discard() override { file_.Discard(); }

private:
    // The frame stands for the plain header, fed the body's size: what is held already does
    // not come again. The session announces, checks and creates.
    bool Feed(const frame::File& header, uint64_t start) {
        const std::string plain = wire::EncodeHeader(header.path, header.size - start);
        return session_.Feed(plain.data(), plain.size()) == ReceiveSession::Status::Progress;
    }

    ReceivedFile& file_;
    ReceiveSession& session_;
    const std::string& folder_;
    PartResume* resume_;
    frame::File header_;
};

// A file of a group, made by the session's tree. A loose file may go on from a part an earlier
// session kept; a folder's files start whole, as its root is new each session.
class GroupFile final : public FileSink {
public:
    GroupFile(SafeTree& tree, PartResume* resume) : tree_(tree), resume_(resume) {}
    Opening Open(const frame::File& header) override {
        const SafeTree::Result opened = tree_.OpenFile(header.path, header.size);
        if (tree_.pathBytes() > kMaxPathBytes) {
            tree_.Discard();
            return {Opening::Kind::EndSession, {}};
        }
        switch (opened) {
            case SafeTree::Result::Ok:
                return {Opening::Kind::Accept, {}, Resumable() ? resume_->Offer(header, tree_) : 0};
            case SafeTree::Result::BadPath:
            case SafeTree::Result::OutsideRoot:
            case SafeTree::Result::CaseTwin:
            case SafeTree::Result::Taken:
            case SafeTree::Result::ThroughFile:
                return {Opening::Kind::Refuse, "bad name"};
            case SafeTree::Result::NoSpace:
                return {Opening::Kind::Refuse, "no space"};
            case SafeTree::Result::Planted:
            case SafeTree::Result::Failed:
                return {Opening::Kind::Refuse, "cannot write"};
            case SafeTree::Result::NoBatch:
            case SafeTree::Result::OverBatch:
            case SafeTree::Result::TooMany:
                break;
        }
        return {Opening::Kind::EndSession, {}};  // more than its BATCH announced
    }
    bool Write(const char* data, size_t length) override { return tree_.Write(data, length); }
    bool Publish(const frame::File&, std::string& stored) override {
        return tree_.Publish(stored) == SafeTree::Result::Ok;
    }
    void Discard() override { tree_.Discard(); }
    std::optional<uint64_t> Settle(FrameLink& link, uint64_t offset) override {
        return resume_->Settle(link, tree_, offset);
    }
    void Keep(const frame::File& header) override {
        if (Resumable()) {
            resume_->Keep(header, tree_);
        }
    }

private:
    bool Resumable() const { return resume_ != nullptr && tree_.root().empty(); }

    SafeTree& tree_;
    PartResume* resume_;
};

std::string LastName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One group of the session: what its BATCH announced, what came of it so far.
struct Group {
    IncomingBatch info;
    std::string refusal;  // the whole group's, when it cannot be taken
    std::map<std::string, std::string> refusedFolders;  // path as sent, and why
    size_t refusedBytes = 0;  // their paths': they count against the paths' bound too
    uint32_t foldersRefused = 0;
    uint32_t folders = 0;  // FOLDERs and FILEs seen
    uint32_t files = 0;
    uint64_t bytes = 0;  // announced by the FILEs seen
    uint32_t refused = 0;
};

class Session {
public:
    Session(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
            const std::atomic<bool>& stopping, const std::string& ourName,
            const BatchEvents& events, PartResume* resume, const ConsentHook& consent)
        : link_(stream),
          headerDeadline_(headerDeadline),
          callback_(callback),
          stopping_(stopping),
          events_(events),
          resume_(resume),
          consent_(consent) {
        frame::Hello hello;
        hello.name = ourName;
        hello_ = frame::Encode(hello);
    }

    Result Run(ReceivedFile& file, ReceiveSession& session, const std::string& folder,
               const PairingHook& pairing);

private:
    // What a frame that did not come means.
    Ending Missing(FrameLink::Got got) const;
    // Our HELLO goes with the first answer.
    bool Send(const std::string& frame);
    // The one exchange of a file: VERDICT, body, publication, ACK. Refused: a refusing
    // VERDICT went and the session may go on; Whole: the file stands under `stored`.
    Ending ExchangeFile(const frame::File& header, FileSink& sink, std::string& stored);
    Ending Refuse(const std::string& reason);
    Ending ReceiveBody(uint64_t size, FileSink& sink);
    void ShowProgress(uint64_t done);

    Ending RunLone(const frame::File& header, ReceivedFile& file, ReceiveSession& session,
                   const std::string& folder);
    Ending RunGroups(batch_frames::Batch first, const std::string& folder);
    bool StartGroup(const batch_frames::Batch& batch, SafeTree& tree);
    bool HandleFolder(const std::string& path, SafeTree& tree);
    Ending HandleFile(const frame::File& header, FileSink& sink);
    void EndGroup(bool cut = false);
    bool InGroup(const std::vector<std::string>& names, bool isFolder) const;

    FrameLink link_;
    net::Clock::time_point headerDeadline_;
    Callback* callback_;
    const std::atomic<bool>& stopping_;
    const BatchEvents& events_;
    PartResume* resume_;  // lone and loose files: a folder's files start whole
    const ConsentHook& consent_;
    std::string peerName_;  // as its HELLO gave it
    bool reset_ = false;    // a blocked computer: the session ends without a word
    std::string hello_;     // ours, until sent
    Result result_;
    std::optional<Group> group_;
    std::vector<char> buffer_;
    uint64_t progressBase_ = 0;  // bytes of the group before the file coming in
    uint64_t progressTotal_ = 0;
};

Ending Session::Missing(FrameLink::Got got) const {
    if (stopping_) {
        return Ending::Stopped;
    }
    if (got == FrameLink::Got::Failed) {
        return net::Clock::now() >= headerDeadline_ && !result_.groups ? Ending::HeaderLate
                                                                       : Ending::ReadFailed;
    }
    return Ending::BadHeader;
}

bool Session::Send(const std::string& frame) {
    const bool sent = link_.Send(hello_ + frame);
    hello_.clear();
    return sent;
}

Ending Session::Refuse(const std::string& reason) {
    frame::Verdict verdict;
    verdict.accept = false;
    verdict.reason = reason;
    Send(frame::Encode(verdict));
    return Ending::Refused;
}

void Session::ShowProgress(uint64_t done) {
    if (callback_ != nullptr) {
        callback_->ShowProgress(static_cast<int64_t>(progressBase_ + done),
                                static_cast<int64_t>(progressTotal_));
    }
    if (group_ && events_.progress) {
        group_->info.bytesDone = progressBase_ + done;
        events_.progress(group_->info);
    }
}

Ending Session::ReceiveBody(uint64_t size, FileSink& sink) {
    buffer_.resize(wire::kPieceSize);
    link_.SetDeadline(net::kNoDeadline);
    link_.LimitReads(size);
    Ending ending = Ending::Whole;
    for (uint64_t got = 0; got < size;) {
        const long n = link_.Read(buffer_.data(), buffer_.size());
        if (stopping_) {
            ending = Ending::Stopped;
        } else if (n < 0) {
            ending = Ending::ReadFailed;
        } else if (n == 0) {
            ending = Ending::Short;
        } else if (!sink.Write(buffer_.data(), static_cast<size_t>(n))) {
            ending = Ending::WriteFailed;
        }
        if (ending != Ending::Whole) {
            break;
        }
        got += static_cast<uint64_t>(n);
        ShowProgress(got);
    }
    link_.LimitReads(UINT64_MAX);
    return ending;
}

Ending Session::ExchangeFile(const frame::File& header, FileSink& sink, std::string& stored) {
    const Opening opening = sink.Open(header);
    if (opening.kind == Opening::Kind::EndSession) {
        return Ending::BadHeader;
    }
    if (opening.kind == Opening::Kind::Refuse) {
        return Refuse(opening.reason);
    }
    frame::Verdict verdict;
    verdict.offset = opening.offset;
    if (!Send(frame::Encode(verdict))) {
        sink.Keep(header);  // cut before it could go on: a held part stays
        sink.Discard();
        return stopping_ ? Ending::Stopped : Ending::ReadFailed;
    }
    uint64_t start = 0;
    if (opening.offset > 0) {  // the sender's PREFIX_HASH, our RESUME
        const std::optional<uint64_t> settled = sink.Settle(link_, opening.offset);
        if (!settled) {
            if (stopping_) {
                sink.Keep(header);  // ours to end: the part stays
            }  // else the sender could not resume: the part goes, the next try is whole
            sink.Discard();
            return stopping_ ? Ending::Stopped : Ending::BadHeader;
        }
        start = *settled;
        if (!group_) {  // a lone file's bar covers what this session brings, as plain
            progressBase_ = wire::EncodeHeader(header.path, header.size - start).size();
            progressTotal_ = header.size - start;
        } else {  // a group's counts what it held as done, as its sender's does
            progressBase_ += start;
        }
    }
    Ending ending = ReceiveBody(header.size - start, sink);
    if (ending == Ending::Whole && stopping_) {
        ending = Ending::Stopped;
    }
    if (ending != Ending::Whole) {
        sink.Keep(header);  // what came waits for the next session
        sink.Discard();
        return ending;
    }
    if (!sink.Publish(header, stored)) {
        link_.Send(frame::Encode(frame::Ack{false, {}}));
        return Ending::PublishFailed;
    }
    link_.Send(frame::Encode(frame::Ack{true, stored}));
    return Ending::Whole;
}

Ending Session::RunLone(const frame::File& header, ReceivedFile& file, ReceiveSession& session,
                        const std::string& folder) {
    link_.SetDeadline(net::kNoDeadline);
    if (consent_) {
        const ConsentAsker::Answer answer = consent_(peerName_, header.path, header.size, 1);
        if (answer != ConsentAsker::Answer::Accept) {
            file.Announce(header.path);
            if (answer == ConsentAsker::Answer::Decline) {
                Refuse("declined");
            }
            return stopping_ ? Ending::Stopped : Ending::Declined;
        }
    }
    LoneFile sink(file, session, folder, resume_);
    // Counted as the plain receiver counts, its header's bytes included.
    progressBase_ = wire::EncodeHeader(header.path, header.size).size();
    progressTotal_ = header.size;
    std::string stored;
    const Ending ending = ExchangeFile(header, sink, stored);
    if (ending != Ending::Whole) {
        return ending;
    }
    result_.name = stored;
    // The file is kept whatever comes now; the sender's END or close ends the session.
    FrameReader reader({frame::Type::End});
    link_.SetDeadline(net::DeadlineAfter(std::chrono::seconds(10)));
    link_.ReadFrame(reader);
    link_.EndOutput();
    return Ending::Whole;
}

bool Session::InGroup(const std::vector<std::string>& names, bool isFolder) const {
    const std::string& root = group_->info.root;
    if (root.empty()) {
        return !isFolder && names.size() == 1;
    }
    return names.size() >= (isFolder ? 1u : 2u) && names.front() == root;
}

// False ends the session: counts or a root no sender of ours sends.
bool Session::StartGroup(const batch_frames::Batch& batch, SafeTree& tree) {
    if (uint64_t{batch.files} + batch.folders > batch_frames::kMaxEntries ||
        (!batch.root.empty() &&
         relative_path::CheckComponent(batch.root, 0) != relative_path::Problem::None)) {
        return false;
    }
    group_.emplace();
    IncomingBatch& info = group_->info;
    info.root = batch.root;
    info.files = batch.files;
    info.folders = batch.folders;
    info.totalBytes = batch.totalBytes;
    progressBase_ = 0;
    progressTotal_ = batch.totalBytes;
    if (events_.started) {
        events_.started(info);  // before anything of it is made
    }
    const auto many = [](uint64_t n, const char* one, const char* more) {
        return std::to_string(n) + " " + (n == 1 ? one : more);
    };
    const std::string what = batch.root.empty() ? std::string("loose files")
                                                : "folder " + received_name::ForLog(batch.root);
    const std::string counts = many(batch.files, "file", "files") + ", " +
                               many(batch.folders, "folder", "folders") + ", " +
                               many(batch.totalBytes, "byte", "bytes");
    if (consent_) {  // asked once for the whole group, before anything of it is made
        const std::string files = many(batch.files, "file", "files");
        const std::string offer =
            batch.root.empty() ? files : batch.root + " (a folder of " + files + ")";
        const ConsentAsker::Answer answer =
            consent_(peerName_, offer, batch.totalBytes, batch.files);
        if (answer == ConsentAsker::Answer::Reset || stopping_) {
            reset_ = true;
            return false;
        }
        if (answer == ConsentAsker::Answer::Decline) {
            group_->refusal = "declined";  // each of its files is told so
            WriteLog("Incoming " + what + " declined (" + counts + ")\n");
            return true;
        }
    }
    const SafeTree::Result begun = tree.Begin(batch);
    if (begun != SafeTree::Result::Ok) {
        group_->refusal = begun == SafeTree::Result::NoSpace ? "no space" : "cannot write";
        WriteLog("Incoming " + what + " refused (" + counts + "): " + SafeTree::Describe(begun) +
                 "\n");
        return true;
    }
    info.storedRoot = tree.root();
    WriteLog("Incoming " + what + " (" + counts + ")" +
             (batch.root.empty() ? std::string()
                                 : ", made as " + received_name::ForLog(info.storedRoot)) +
             "\n");
    return true;
}

bool Session::HandleFolder(const std::string& path, SafeTree& tree) {
    Group& group = *group_;
    std::vector<std::string> names;
    if (++group.folders > group.info.folders ||
        relative_path::Split(path, names) != relative_path::Problem::None ||
        !InGroup(names, true)) {
        return false;
    }
    if (!group.refusal.empty()) {
        return true;
    }
    const SafeTree::Result made = tree.MakeFolder(path);
    if (tree.pathBytes() > kMaxPathBytes) {
        return false;
    }
    switch (made) {
        case SafeTree::Result::Ok:
            return true;
        case SafeTree::Result::CaseTwin:
        case SafeTree::Result::Taken:
        case SafeTree::Result::ThroughFile:
            group.refusedFolders.emplace(path, "bad name");
            break;
        case SafeTree::Result::Planted:
        case SafeTree::Result::Failed:
            group.refusedFolders.emplace(path, "cannot write");
            break;
        default:
            return false;  // a broken path or more folders than announced
    }
    group.refusedBytes += path.size();
    if (tree.pathBytes() + group.refusedBytes > kMaxPathBytes) {
        return false;  // case twins by the thousand hold memory as well as names do
    }
    if (group.foldersRefused++ < kRefusalsLogged) {
        WriteLog("Folder refused: " + received_name::ForLog(path) + ": " +
                 SafeTree::Describe(made) + "\n");
    }
    return true;
}

Ending Session::HandleFile(const frame::File& header, FileSink& sink) {
    Group& group = *group_;
    result_.name = header.path;
    if (++group.files > group.info.files || header.size > group.info.totalBytes - group.bytes) {
        return Ending::BadHeader;  // beyond what the BATCH announced
    }
    group.bytes += header.size;
    progressBase_ = group.info.bytesDone = group.bytes - header.size;
    std::string reason = group.refusal;
    for (size_t slash = header.path.find('/'); reason.empty() && slash != std::string::npos;
         slash = header.path.find('/', slash + 1)) {
        const auto found = group.refusedFolders.find(header.path.substr(0, slash));
        if (found != group.refusedFolders.end()) {
            reason = found->second;
        }
    }
    std::string stored;
    const Ending ending = reason.empty() ? ExchangeFile(header, sink, stored) : Refuse(reason);
    if (ending == Ending::Refused) {
        if (group.refused++ < kRefusalsLogged) {
            WriteLog("Incoming file refused: " + received_name::ForLog(header.path) + "\n");
        }
    } else if (ending != Ending::Whole) {
        return ending;
    } else {
        ++group.info.filesKept;
        if (LastName(stored) != LastName(header.path)) {
            WriteLog("Kept as " + received_name::ForLog(stored) + "\n");
        }
        if (events_.kept) {
            events_.kept(group.info, stored);
        }
    }
    ++group.info.filesDone;
    group.info.bytesDone = group.bytes;
    if (events_.progress) {
        events_.progress(group.info);
    }
    return Ending::Whole;
}

void Session::EndGroup(bool cut) {
    if (!group_) {
        return;
    }
    const IncomingBatch& info = group_->info;
    const bool whole = !cut && info.filesKept == info.files;
    WriteLog("Received " + std::to_string(info.filesKept) + " of " + std::to_string(info.files) +
             " files" +
             (info.storedRoot.empty() ? std::string()
                                      : " in " + received_name::ForLog(info.storedRoot)) +
             (group_->refused > 0 ? ", " + std::to_string(group_->refused) + " refused" : "") +
             "\n");
    if (events_.ended) {
        events_.ended(info, whole);
    }
    group_.reset();
}

Ending Session::RunGroups(batch_frames::Batch first, const std::string& folder) {
    result_.groups = true;
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    SafeTree tree(fd);
    if (fd >= 0) {
        close(fd);
    }
    GroupFile sink(tree, resume_);
    // FOLDERs only before the group's first FILE.
    static constexpr frame::Type kBeforeFiles[] = {frame::Type::Folder, frame::Type::File,
                                                   frame::Type::Batch, frame::Type::End};
    static constexpr frame::Type kAmongFiles[] = {frame::Type::File, frame::Type::Batch,
                                                  frame::Type::End};
    frame::Message message = std::move(first);
    FrameReader reader;
    Ending ending = Ending::Whole;
    for (;;) {
        if (const auto* batch = std::get_if<batch_frames::Batch>(&message)) {
            EndGroup();
            if (!StartGroup(*batch, tree)) {
                ending = stopping_ ? Ending::Stopped
                         : reset_  ? Ending::Declined
                                   : Ending::BadHeader;
                break;
            }
        } else if (const auto* folderFrame = std::get_if<frame::Folder>(&message)) {
            if (!HandleFolder(folderFrame->path, tree)) {
                ending = Ending::BadHeader;
                break;
            }
        } else if (const auto* file = std::get_if<frame::File>(&message)) {
            ending = HandleFile(*file, sink);
            if (ending != Ending::Whole) {
                break;
            }
        } else {
            EndGroup();  // END
            result_.name.clear();
            link_.EndOutput();
            return Ending::Whole;
        }
        reader.Next();
        reader.Expect(group_->files == 0 ? std::span<const frame::Type>(kBeforeFiles)
                                         : std::span<const frame::Type>(kAmongFiles));
        link_.SetDeadline(net::DeadlineAfter(kBetweenFrames));
        const FrameLink::Got got = link_.ReadFrame(reader);
        if (got == FrameLink::Got::Frame) {
            message = reader.message();
        } else if (got == FrameLink::Got::Refused && reader.refused() != nullptr) {
            // A FILE whose path is no plain name: the tree judges paths in a group.
            message = *reader.refused();
        } else if (got == FrameLink::Got::Closed && group_->files == group_->info.files) {
            // Gone without END after its last file: everything announced came.
            EndGroup();
            result_.name.clear();
            return Ending::Whole;
        } else {
            ending = got == FrameLink::Got::Closed ? Ending::ReadFailed : Missing(got);
            break;
        }
    }
    EndGroup(true);
    return ending;
}

Result Session::Run(ReceivedFile& file, ReceiveSession& session, const std::string& folder,
                    const PairingHook& pairing) {
    link_.SetDeadline(headerDeadline_);
    FrameReader reader({frame::Type::Hello});
    FrameLink::Got got = link_.ReadFrame(reader);
    if (got == FrameLink::Got::Closed ||
        (got == FrameLink::Got::Failed && !stopping_ && net::Clock::now() < headerDeadline_)) {
        // Nothing asked: as a plain connection that brought nothing, ended or cut. A session
        // cut here (a middle refused by its sender) is no failed receive to show.
        return result_;
    }
    if (got != FrameLink::Got::Frame) {
        result_.ending = Missing(got);
        return result_;
    }
    const frame::Hello& hello = std::get<frame::Hello>(reader.message());
    if (hello.purpose == frame::Purpose::Pairing && pairing) {
        pairing(link_, hello);
        return result_;  // no file: the pairing tells its own outcome
    }
    if (hello.purpose != frame::Purpose::Files) {
        result_.ending = Ending::BadHeader;
        return result_;
    }
    peerName_ = hello.name;
    reader.Next();
    reader.Expect({frame::Type::File, frame::Type::Batch, frame::Type::End});
    got = link_.ReadFrame(reader);
    if (got == FrameLink::Got::Closed) {
        return result_;
    }
    const frame::File* refused =
        reader.refused() != nullptr ? std::get_if<frame::File>(reader.refused()) : nullptr;
    if (got == FrameLink::Got::Refused && refused != nullptr) {
        result_.name = refused->path;
        file.Announce(result_.name);
        result_.ending = Refuse("bad name");
        return result_;
    }
    if (got != FrameLink::Got::Frame) {
        result_.ending = Missing(got);
        return result_;
    }
    if (const auto* header = std::get_if<frame::File>(&reader.message())) {
        result_.name = header->path;
        result_.ending = RunLone(*header, file, session, folder);
    } else if (const auto* batch = std::get_if<batch_frames::Batch>(&reader.message())) {
        result_.ending = RunGroups(*batch, folder);
    }
    return result_;  // END: a session without files
}

}  // namespace

Result Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceivedFile& file, ReceiveSession& session,
           const std::string& folder, const std::string& ourName, const PairingHook& pairing,
           const BatchEvents& events, PartResume* resume, const ConsentHook& consent) {
    Session run(stream, headerDeadline, callback, stopping, ourName, events, resume, consent);
    return run.Run(file, session, folder, pairing);
}

}  // namespace secure_receive
