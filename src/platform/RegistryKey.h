#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/RegistryDocument.h"

// The two roots, each kept in a file of its own:
//   per user:    ${XDG_CONFIG_HOME:-$HOME/.config}/zingwell/user.reg   (mode 0600)
//   per machine: ${ZINGWELL_SYSTEM_DIR:-/etc/zingwell}/system.reg
enum class RegRoot { CurrentUser, LocalMachine };

std::string RegistryFilePath(RegRoot root);
const char* RegistryRootName(RegRoot root);

enum class RegResult { Ok, NotFound, MoreData };

// One open subkey of a root, as the settings classes need it of the registry.
class RegistryKey {
public:
    RegistryKey() = default;
    virtual ~RegistryKey() = default;

    // Opens an existing subkey for reading; false when the file or the subkey is missing.
    bool OpenForRead(RegRoot root, const std::string& subkey);
    // Size query when data is null; otherwise copies up to *size bytes. *size always
    // ends as the stored size. MoreData when the buffer is too small (nothing copied).
    RegResult Query(const std::string& name, uint32_t* type, uint8_t* data, uint32_t* size) const;

    // Opens (creating if needed) a subkey for writing; false when the root's file cannot
    // be written (an ordinary user and the per-machine root).
    bool OpenForWrite(RegRoot root, const std::string& subkey);
    // Stores the value at once: the file is replaced atomically under an advisory lock,
    // so that values written meanwhile by another process are kept.
    bool SetValue(const std::string& name, uint32_t type, const void* data, uint32_t size);

    void Close();

private:
    RegRoot root_ = RegRoot::CurrentUser;
    std::string subkey_;
    std::optional<RegistryDocument> snapshot_;  // what OpenForRead saw
    bool writable_ = false;
};
