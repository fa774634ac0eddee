#pragma once

#include <string>

#include "heart/WorkerFactory.h"

class Identity;
class PairingResponder;

// The workers the desktop program runs: the sender, receiver, discovery and FTP uploader.
class RealWorkerFactory : public WorkerFactory {
public:
    // Before the drop window is made: our key (none: no secure transfers), the name our
    // secure sends give, and the known computers. All outlive the factory's workers.
    void SetSecure(const Identity* identity, std::string name, PairedBuddySource* paired);

    std::unique_ptr<UploadWorker> MakeUploader() override;
    std::unique_ptr<SendWorker> MakeSender() override;
    std::unique_ptr<ReceiveWorker> MakeReceiver() override;
    std::unique_ptr<DiscoveryWorker> MakeDiscovery(Callback* callback) override;
    PairedBuddySource* PairedSource() override { return paired_; }
    std::string OwnKeyId() const override;

    // Given to every receiver made afterwards; it outlives them.
    void SetPairing(PairingResponder* responder) { pairing_ = responder; }

private:
    const Identity* identity_ = nullptr;
    std::string name_;
    PairedBuddySource* paired_ = nullptr;
    PairingResponder* pairing_ = nullptr;
};
