#pragma once

#include "heart/WorkerFactory.h"

class PairingResponder;

// The workers the desktop program runs: the sender, receiver, discovery and FTP uploader.
class RealWorkerFactory : public WorkerFactory {
public:
    std::unique_ptr<UploadWorker> MakeUploader() override;
    std::unique_ptr<SendWorker> MakeSender() override;
    std::unique_ptr<ReceiveWorker> MakeReceiver() override;
    std::unique_ptr<DiscoveryWorker> MakeDiscovery(Callback* callback) override;

    // Given to every receiver made afterwards; it outlives them.
    void SetPairing(PairingResponder* responder) { pairing_ = responder; }

private:
    PairingResponder* pairing_ = nullptr;
};
