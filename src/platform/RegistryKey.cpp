#include "platform/RegistryKey.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/AtomicFile.h"
#include "platform/HomeFolder.h"

namespace {

std::string FolderOf(RegRoot root) {
    if (root == RegRoot::LocalMachine) {
        const char* dir = getenv("ZINGWELL_SYSTEM_DIR");
        return dir != nullptr && dir[0] != '\0' ? dir : "/etc/zingwell";
    }
    const char* config = getenv("XDG_CONFIG_HOME");
    std::string base =
        config != nullptr && config[0] == '/' ? config : HomeDirectory() + "/.config";
    return base + "/zingwell";
}

std::string ReadWholeFile(const std::string& path, bool& exists) {
    std::ifstream in(path, std::ios::binary);
    exists = static_cast<bool>(in);
    std::ostringstream text;
    if (exists) {
        text << in.rdbuf();
    }
    return text.str();
}

// mkdir -p, each new level with the given mode.
bool MakeFolders(const std::string& path, mode_t mode) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), mode)) {
        return false;
    }
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

// Holds an exclusive advisory lock on the registry folder while it lives. Bounded: a lock
// that never comes free (a hung process) costs this write, not the program.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            return;
        }
        for (int attempt = 0; attempt < 500; ++attempt) {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                locked_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) {
            if (locked_)
                flock(fd_, LOCK_UN);
            close(fd_);
        }
    }
    bool locked() const { return locked_; }

private:
    int fd_ = -1;
    bool locked_ = false;
};

}  // namespace

const char* RegistryRootName(RegRoot root) {
    return root == RegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string RegistryFilePath(RegRoot root) {
    return FolderOf(root) + (root == RegRoot::LocalMachine ? "/system.reg" : "/user.reg");
}

bool RegistryKey::OpenForRead(RegRoot root, const std::string& subkey) {
    Close();
    bool exists = false;
    std::string text = ReadWholeFile(RegistryFilePath(root), exists);
    if (!exists) {
        return false;
    }
    RegistryDocument document = RegistryDocument::Parse(text, RegistryRootName(root));
    if (document.FindKey(subkey) == nullptr) {
        return false;
    }
    root_ = root;
    subkey_ = subkey;
    snapshot_ = std::move(document);
    return true;
}

RegResult RegistryKey::Query(const std::string& name, uint32_t* type, uint8_t* data,
                             uint32_t* size) const {
    if (!snapshot_) {
        return RegResult::NotFound;
    }
    const RegValue* value = snapshot_->FindValue(subkey_, name);
    if (value == nullptr) {
        return RegResult::NotFound;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    const uint32_t stored = static_cast<uint32_t>(value->bytes.size());
    RegResult result = RegResult::Ok;
    if (data != nullptr && size != nullptr) {
        if (*size < stored) {
            result = RegResult::MoreData;
        } else {
            memcpy(data, value->bytes.data(), stored);
        }
    }
    if (size != nullptr) {
        *size = stored;
    }
    return result;
}

bool RegistryKey::OpenForWrite(RegRoot root, const std::string& subkey) {
    Close();
    const std::string folder = FolderOf(root);
    const mode_t folderMode = root == RegRoot::CurrentUser ? 0700 : 0755;
    if (!MakeFolders(folder, folderMode) || access(folder.c_str(), W_OK) != 0) {
        return false;
    }
    root_ = root;
    subkey_ = subkey;
    writable_ = true;
    return true;
}

bool RegistryKey::SetValue(const std::string& name, uint32_t type, const void* data,
                           uint32_t size) {
    if (!writable_) {
        return false;
    }
    const std::string folder = FolderOf(root_);
    FolderLock lock(folder);
    if (!lock.locked()) {
        return false;
    }
    const std::string path = RegistryFilePath(root_);
    bool exists = false;
    RegistryDocument document =
        RegistryDocument::Parse(ReadWholeFile(path, exists), RegistryRootName(root_));
    std::string bytes;
    if (size > 0) {
        bytes.assign(static_cast<const char*>(data), static_cast<size_t>(size));
    }
    document.SetValue(subkey_, name, type, std::move(bytes));
    // The per-user file holds the FTP secret: only its owner may read it.
    const mode_t mode = root_ == RegRoot::CurrentUser ? 0600 : 0644;
    return WriteFileAtomically(path, document.Serialize(), mode);
}

void RegistryKey::Close() {
    snapshot_.reset();
    writable_ = false;
    subkey_.clear();
}
