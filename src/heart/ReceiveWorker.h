#pragma once

#include "core/Callback.h"
#include "core/ConsentAsker.h"
#include "core/TransferNotes.h"

// The receiver, as the drop window uses it.
class ReceiveWorker {
public:
    virtual ~ReceiveWorker() = default;
    virtual void SetCallback(Callback* callback) = 0;
    // Optional: told of each file received whole or failed, for notifications.
    virtual void SetNotes(TransferNotes* notes) = 0;
    virtual void Start(int port) = 0;
    // Optional: asked of every incoming file before it is written; it outlives the receiver.
    virtual void SetConsent(ConsentAsker* asker) { (void)asker; }
};
