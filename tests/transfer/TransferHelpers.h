#pragma once

#include <netinet/in.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/BatchNotes.h"
#include "core/TransferNotes.h"
#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/TlsStream.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/RecordingCallback.h"

// Byte-level helpers for the transfer tests: raw peers on loopback and what they left.
namespace transfer_test {

// A whole stream as a sender puts it on the wire.
std::string Stream(const std::string& name, const std::string& body);
using ::SendAll;
// Reads until the peer ends the stream (or fails); `reset` tells which of the two it was.
std::string ReadAll(int fd, bool* reset = nullptr);
// After this side has ended its stream: true when the peer answers with a reset (as a
// receiver does to a stream it did not store), false when it closes in order.
bool AnsweredWithReset(int fd);
// Closes with a reset instead of an orderly end.
inline void Reset(int fd) {
    CloseWithReset(fd);
}
using ::ConnectFrom;
using ::LogText;
using ::Occurrences;
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> Listing(const std::string& folder);
// The receiving side's events for one whole file: IncomingFile, progress that grows to
// header + body with the size as total, FinishedSending. Empty when they fit.
std::string CheckReceiveEvents(const std::vector<RecordingCallback::Event>& events,
                               size_t nameLength, size_t size);
// The sending side's events for one whole file: progress after each full piece only.
std::vector<std::string> ExpectedSendEvents(size_t size);

// A key of the test's own, made in a new folder.
Identity MakeIdentity(const std::string& name);
sockaddr_in Loopback(int port);
// A TLS peer of the test's own on a connected TCP stream.
std::unique_ptr<TlsStream> Shake(std::unique_ptr<TcpStream> tcp, const Identity& me, bool client);

// Writes down each note with the number of events the callback had seen by then, so that a
// test can tell which event came right after it.
class RecordingNotes : public TransferNotes {
public:
    struct Note {
        std::string what;  // "FileReceived", "ReceiveFailed", "BatchStarted", "BatchEnded"
        std::string name;
        std::string peer;
        size_t eventsBefore;
        std::string key;  // the peer's key hash, for a secure connection
    };
    explicit RecordingNotes(const RecordingCallback& events) : events_(events) {}
    void FileReceived(const std::string& name, const std::string& peer) override;
    void ReceiveFailed(const std::string& name, const std::string& peer) override;
    void SecureFileReceived(const std::string& name, const std::string& peer,
                            const std::string& key) override;
    void SecureReceiveFailed(const std::string& name, const std::string& peer,
                             const std::string& key) override;
    // A group's start and end: the name, its root as sent, then as made; the peer, "N/M".
    void BatchStarted(const IncomingBatch& batch) override;
    void BatchEnded(const IncomingBatch& batch, bool whole) override;
    std::vector<Note> Notes() const;

private:
    const RecordingCallback& events_;
    mutable std::mutex mutex_;
    std::vector<Note> notes_;
};

// The queue as the sender sees it, and what it is told, as "index what detail" lines.
class RecordingBatch : public BatchNotes {
public:
    bool BatchEntry(size_t index, std::string& path) override {
        if (index >= entries.size()) {
            return false;
        }
        path = entries[index];
        return true;
    }
    void BatchEntryStarted(size_t index) override { Add(std::to_string(index) + " started"); }
    void BatchEntryEnded(size_t index, EntryEnd end, const std::string& detail) override {
        static const char* const kEnds[] = {"delivered", "refused", "cannot open"};
        Add(std::to_string(index) + " " + kEnds[static_cast<int>(end)] +
            (detail.empty() ? "" : " " + detail));
    }
    void BatchSkipped(size_t index, const std::vector<std::string>& lines) override {
        for (const std::string& line : lines) {
            Add(std::to_string(index) + " left out " + line);
        }
    }
    void BatchProgressed(const Progress& progress) override {
        std::lock_guard<std::mutex> guard(mutex_);
        last = progress;
    }
    std::vector<std::string> Told() {
        std::lock_guard<std::mutex> guard(mutex_);
        return told_;
    }
    std::vector<std::string> entries;
    Progress last;

private:
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> guard(mutex_);
        told_.push_back(line);
    }
    std::mutex mutex_;
    std::vector<std::string> told_;
};

}  // namespace transfer_test
