#pragma once

#include <string>

// The folder that holds received files, the send queue file and the activity log:
// $HOME/Zingwell, created on first use (without a trailing slash). When it cannot be
// created, a private per-user folder is used instead. Fixed for the life of the process.
std::string GetReceiveFolder();
