// A Zingwell copy without a window: receives files into $HOME/Zingwell and sends files to a
// buddy, through the same receiver and sender as the desktop program. For benchmarks and
// end-to-end tests; run it inside a network namespace.
//
//   zw_peer [--port P] [--receive N] [--send ADDRESS PORT PATH]... [--timeout SECONDS]
//           [--identity DIR [--pin HASH [--batch]] [--accept-pairing]]
//
// --port P      listen on P (0: any free port) and print "listening PORT" once listening
// --receive N   end after N incoming connections have ended
// --send        send PATH to ADDRESS:PORT; several are sent one after the other
// --identity    load (or make) the key in DIR, print "key HASH", and take TLS on the port
// --pin HASH    the other copy's key hash: sends go over TLS to that key only (printing
//               "cipher NAME"), and files are taken only from that key (any other sender,
//               plain ones too, is reset before it sends a byte)
// --batch       with --pin: every PATH (files and folders) in one session, to the first
//               ADDRESS PORT, as a drop goes to a secure buddy
// --accept-pairing  answer yes to every pairing request and code (printing "code CODE"),
//               pinning the other's key in DIR's known computers
// Exit status 0 when every file went and came whole, 1 otherwise, 2 for bad arguments.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/ActivityLog.h"
#include "core/BatchNotes.h"
#include "core/Callback.h"
#include "core/SendNotes.h"
#include "secure/Identity.h"
#include "secure/TrustStore.h"
#include "transfer/PairingPrompt.h"
#include "transfer/PairingResponder.h"
#include "transfer/SListener.h"
#include "transfer/SSender.h"

namespace {

struct Outgoing {
    std::string address, port, path;
};

std::mutex mutex;
std::condition_variable changed;

// Counts how transfers end, on the receiving or on the sending side.
class Counter : public Callback {
public:
    void FoundBuddy(const char*, const char*) override { End(false); }
    void LostBuddy(bool) override {}
    void ShowProgress(int64_t, int64_t) override {}
    void IncomingFile() override {}
    void FinishedSending() override { End(true); }
    void ReportError(int32_t code) override {
        fprintf(stderr, "zw_peer: error %d\n", code);
        End(false);
    }

    int ended = 0;
    int failed = 0;

private:
    void End(bool ok) {
        std::lock_guard<std::mutex> guard(mutex);
        ++ended;
        failed += ok ? 0 : 1;
        changed.notify_all();
    }
};

// Says how a secure send ended, when it did not deliver.
class Outcomes : public SendNotes {
public:
    void SecureSessionStarted(const std::string&, const std::string& cipher) override {
        if (!told_) {
            printf("cipher %s\n", cipher.c_str());
            fflush(stdout);
            told_ = true;
        }
    }
    void SecureSendEnded(Outcome outcome, const std::string& reason) override {
        if (outcome != Outcome::Delivered) {
            fprintf(stderr, "zw_peer: secure send ended %d: %s\n", static_cast<int>(outcome),
                    reason.c_str());
        }
    }

private:
    bool told_ = false;
};

// The paths of --send as the queue of one batch; says what did not go.
class Entries : public BatchNotes {
public:
    explicit Entries(const std::vector<Outgoing>& outgoing) : outgoing_(outgoing) {}
    bool BatchEntry(size_t index, std::string& path) override {
        if (index >= outgoing_.size()) {
            return false;
        }
        path = outgoing_[index].path;
        return true;
    }
    void BatchEntryStarted(size_t) override {}
    void BatchEntryEnded(size_t index, EntryEnd end, const std::string& detail) override {
        if (end != EntryEnd::Delivered || !detail.empty()) {
            fprintf(stderr, "zw_peer: %s not sent whole (%d) %s\n", outgoing_[index].path.c_str(),
                    static_cast<int>(end), detail.c_str());
            ++failed;
        }
    }
    void BatchSkipped(size_t, const std::vector<std::string>& lines) override {
        failed += static_cast<int>(lines.size());
    }
    void BatchProgressed(const Progress&) override {}
    int failed = 0;

private:
    const std::vector<Outgoing>& outgoing_;
};

// A user who says yes to every pairing.
class AcceptingUser : public PairingPrompt {
public:
    bool AskToPair(const std::string&, const std::string&) override { return true; }
    bool ConfirmCode(const std::string& code, const std::string&, const std::string&) override {
        printf("code %s\n", code.c_str());
        fflush(stdout);
        return true;
    }
};

int Usage() {
    fprintf(stderr,
            "usage: zw_peer [--port P] [--receive N] [--send ADDRESS PORT PATH]... "
            "[--timeout SECONDS] [--identity DIR [--pin HASH [--batch]] [--accept-pairing]]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int port = -1;
    int expected = 0;
    int timeout = 600;
    std::vector<Outgoing> outgoing;
    std::string identityFolder;
    std::string pin;
    bool acceptPairing = false;
    bool batch = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--port" && i + 1 < argc) {
            port = atoi(argv[++i]);
        } else if (option == "--receive" && i + 1 < argc) {
            expected = atoi(argv[++i]);
        } else if (option == "--timeout" && i + 1 < argc) {
            timeout = atoi(argv[++i]);
        } else if (option == "--identity" && i + 1 < argc) {
            identityFolder = argv[++i];
        } else if (option == "--batch") {
            batch = true;
        } else if (option == "--accept-pairing") {
            acceptPairing = true;
        } else if (option == "--pin" && i + 1 < argc) {
            pin = argv[++i];
        } else if (option == "--send" && i + 3 < argc) {
            outgoing.push_back({argv[i + 1], argv[i + 2], argv[i + 3]});
            i += 3;
        } else {
            return Usage();
        }
    }
    if ((port < 0 && expected > 0) || (port < 0 && outgoing.empty()) ||
        ((!pin.empty() || acceptPairing) && identityFolder.empty()) || (batch && pin.empty())) {
        return Usage();
    }
    std::optional<Identity> identity;
    if (!identityFolder.empty()) {
        std::string error;
        identity = Identity::LoadOrCreate(identityFolder, error);
        if (!identity) {
            fprintf(stderr, "zw_peer: %s\n", error.c_str());
            return 1;
        }
        printf("key %s\n", identity->keyHash().c_str());
        fflush(stdout);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);

    Counter received;
    Counter sent;
    SListener listener;
    listener.SetCallback(&received);
    listener.SetIdentity(identity ? &*identity : nullptr, "zw_peer");
    if (!pin.empty()) {
        listener.SetSenderCheck([&pin](const std::string& keyHash) { return keyHash == pin; });
    }
    TrustStore trust(identityFolder);
    AcceptingUser user;
    PairingResponder responder(trust, user);
    if (acceptPairing) {
        std::string error;
        if (!trust.Reload(error)) {
            fprintf(stderr, "zw_peer: %s\n", error.c_str());
            return 1;
        }
        listener.SetPairing(&responder);
    }
    if (port >= 0) {
        listener.Start(port);
        while (listener.BoundPort() == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                fprintf(stderr, "zw_peer: cannot listen on port %d\n", port);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        printf("listening %d\n", listener.BoundPort());
        fflush(stdout);
    }

    bool ok = true;
    {
        SSender sender;
        Outcomes outcomes;
        sender.SetCallback(&sent);
        sender.SetSendNotes(&outcomes);
        sender.SetIdentity(identity ? &*identity : nullptr, "zw_peer");
        Entries entries(outgoing);
        sender.SetBatchNotes(&entries);
        if (batch && !outgoing.empty()) {
            ok = sender.SendBatch(outgoing[0].address, outgoing[0].port, {pin, ""});
            std::unique_lock<std::mutex> guard(mutex);
            ok = ok && changed.wait_until(guard, deadline, [&] { return sent.ended > 0; }) &&
                 sent.failed == 0 && entries.failed == 0;
        }
        for (size_t i = 0; i < outgoing.size() && ok && !batch; ++i) {
            const Outgoing& file = outgoing[i];
            const bool started =
                pin.empty() ? sender.SendFile(file.address, file.port, file.path)
                            : sender.SendFile(file.address, file.port, file.path, {pin, ""});
            if (!started) {
                ok = false;
                break;
            }
            std::unique_lock<std::mutex> guard(mutex);
            ok = changed.wait_until(guard, deadline, [&] { return sent.ended > int(i); }) &&
                 sent.failed == 0;
        }
    }
    {
        std::unique_lock<std::mutex> guard(mutex);
        ok = changed.wait_until(guard, deadline, [&] { return received.ended >= expected; }) &&
             received.failed == 0 && ok;
    }
    CloseLog();
    if (!ok) {
        fprintf(stderr, "zw_peer: sent %d (%d failed), received %d of %d (%d failed)\n", sent.ended,
                sent.failed, received.ended, expected, received.failed);
    }
    return ok ? 0 : 1;
}
