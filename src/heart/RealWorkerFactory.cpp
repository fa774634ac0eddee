#include "heart/RealWorkerFactory.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "discovery/MulticastListener.h"
#include "ftp/FTPer.h"
#include "secure/Identity.h"
#include "transfer/SListener.h"
#include "transfer/SSender.h"

namespace {

// Thin adapters: each worker keeps its own shape, the drop window sees only what it uses.

class RealSender : public SendWorker {
public:
    RealSender(const Identity* identity, const std::string& name) {
        if (identity != nullptr) {
            sender_.SetIdentity(identity, name);
        }
    }
    void SetCallback(Callback* callback) override { sender_.SetCallback(callback); }
    void SetSendNotes(SendNotes* notes) override { sender_.SetSendNotes(notes); }
    bool SendFile(const std::string& address, const std::string& port,
                  const std::string& path) override {
        return sender_.SendFile(address, port, path);
    }
    bool SendSecure(const std::string& address, const std::string& port, const std::string& path,
                    const SecurePeer& peer) override {
        return sender_.SendFile(address, port, path, peer);
    }
    void SetBatchNotes(BatchNotes* notes) override { sender_.SetBatchNotes(notes); }
    bool SendBatch(const std::string& address, const std::string& port,
                   const SecurePeer& peer) override {
        return sender_.SendBatch(address, port, peer);
    }
    void Cancel() override { sender_.Cancel(); }
    bool Busy() const override { return sender_.Busy(); }

private:
    SSender sender_;
};

// Paired or "always" computers keep the reserved places, found by the address they were last
// heard at (a plain one's is its key); strangers, those waiting for an answer too, share the rest.
bool Approved(const PairedBuddySource& trust, uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &in, text, sizeof text);
    const std::string byAddress = TrustEntry::KeyForAddress(text);
    for (const TrustEntry& entry : trust.Known()) {
        if ((entry.state == TrustEntry::State::Paired ||
             entry.state == TrustEntry::State::Allowed) &&
            (entry.lastAddress == text || entry.key == byAddress)) {
            return true;
        }
    }
    return false;
}

class RealReceiver : public ReceiveWorker {
public:
    RealReceiver(const Identity* identity, const std::string& name, PairingResponder* pairing,
                 PairedBuddySource* trust) {
        if (identity != nullptr) {
            receiver_.SetIdentity(identity, name);
        }
        receiver_.SetPairing(pairing);
        if (trust != nullptr) {
            // Known computers keep places of their own however many strangers connect.
            receiver_.SetApproval([trust](uint32_t address) { return Approved(*trust, address); });
        }
    }
    void SetConsent(ConsentAsker* asker) override { receiver_.SetConsent(asker); }
    void SetCallback(Callback* callback) override { receiver_.SetCallback(callback); }
    void SetNotes(TransferNotes* notes) override { receiver_.SetNotes(notes); }
    void Start(int port) override { receiver_.Start(port); }

private:
    SListener receiver_;
};

class RealDiscovery : public DiscoveryWorker {
public:
    explicit RealDiscovery(Callback* callback) : discovery_(callback) {}
    void SetNotes(BeaconNotes* notes) override { discovery_.SetNotes(notes); }
    void SetCapability(std::optional<Capability> capability) override {
        discovery_.SetCapability(std::move(capability));
    }
    void StartReceiver() override { discovery_.StartReceiver(); }
    void SendBeacon(int port) override { discovery_.SendBeacon(port); }
    void AnnounceShutdown() override { discovery_.AnnounceShutdown(); }
    bool buddyKnown() const override { return discovery_.buddyKnown(); }

private:
    MulticastListener discovery_;
};

class RealUploader : public UploadWorker {
public:
    void Configure(Callback* callback, const std::string& serverHost, const std::string& userName,
                   const std::string& userPass, const std::string& targetFolder) override {
        uploader_.Configure(callback, serverHost, userName, userPass, targetFolder);
    }
    void AddFile(const std::string& path) override { uploader_.AddFile(path); }
    void Start() override { uploader_.Start(); }
    bool Busy() const override { return uploader_.Busy(); }

private:
    FTPer uploader_;
};

}  // namespace

void RealWorkerFactory::SetSecure(const Identity* identity, std::string name,
                                  PairedBuddySource* paired) {
    identity_ = identity;
    name_ = std::move(name);
    paired_ = paired;
}

std::string RealWorkerFactory::OwnKeyId() const {
    return identity_ != nullptr ? identity_->keyId() : std::string();
}

std::unique_ptr<UploadWorker> RealWorkerFactory::MakeUploader() {
    return std::make_unique<RealUploader>();
}

std::unique_ptr<SendWorker> RealWorkerFactory::MakeSender() {
    return std::make_unique<RealSender>(identity_, name_);
}

std::unique_ptr<ReceiveWorker> RealWorkerFactory::MakeReceiver() {
    return std::make_unique<RealReceiver>(identity_, name_, pairing_, paired_);
}

std::unique_ptr<DiscoveryWorker> RealWorkerFactory::MakeDiscovery(Callback* callback) {
    return std::make_unique<RealDiscovery>(callback);
}
