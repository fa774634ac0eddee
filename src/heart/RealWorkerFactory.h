#pragma once

#include "heart/WorkerFactory.h"

// The workers the desktop program runs: the sender, receiver, discovery and FTP uploader.
class RealWorkerFactory : public WorkerFactory {
public:
    std::unique_ptr<UploadWorker> MakeUploader() override;
    std::unique_ptr<SendWorker> MakeSender() override;
    std::unique_ptr<ReceiveWorker> MakeReceiver() override;
    std::unique_ptr<DiscoveryWorker> MakeDiscovery(Callback* callback) override;
};
