#pragma once

#include "core/Callback.h"

// The receiver, as the drop window uses it.
class ReceiveWorker {
public:
    virtual ~ReceiveWorker() = default;
    virtual void SetCallback(Callback* callback) = 0;
    virtual void Start(int port) = 0;
};
