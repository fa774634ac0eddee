#pragma once

#include <memory>
#include <string>

#include "core/Callback.h"
#include "heart/DiscoveryWorker.h"
#include "heart/PairedBuddySource.h"
#include "heart/ReceiveWorker.h"
#include "heart/SendWorker.h"
#include "heart/UploadWorker.h"

// Makes the workers the drop window owns. The desktop program gets the real ones
// (RealWorkerFactory); the tests can hand in recording ones.
class WorkerFactory {
public:
    virtual ~WorkerFactory() = default;
    virtual std::unique_ptr<UploadWorker> MakeUploader() = 0;
    virtual std::unique_ptr<SendWorker> MakeSender() = 0;
    virtual std::unique_ptr<ReceiveWorker> MakeReceiver() = 0;
    virtual std::unique_ptr<DiscoveryWorker> MakeDiscovery(Callback* callback) = 0;
    // The known computers and the key id our announces offer, for a factory whose workers
    // speak TLS; none: every transfer is plain, as always.
    virtual PairedBuddySource* PairedSource() { return nullptr; }
    virtual std::string OwnKeyId() const { return ""; }
};
