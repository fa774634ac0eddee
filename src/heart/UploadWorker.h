#pragma once

#include <string>

#include "core/Callback.h"

// The FTP uploader, as the drop window uses it.
class UploadWorker {
public:
    virtual ~UploadWorker() = default;
    virtual void Configure(Callback* callback, const std::string& serverHost,
                           const std::string& userName, const std::string& userPass,
                           const std::string& targetFolder) = 0;
    virtual void AddFile(const std::string& path) = 0;
    virtual void Start() = 0;
    // True from Start until the job has made its last event.
    virtual bool Busy() const = 0;
};
