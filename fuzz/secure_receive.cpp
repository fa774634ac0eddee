// Drives the secure receiver's session (a lone FILE, or BATCH, FOLDER and FILE groups) with
// arbitrary frames and bodies over a stream in memory, cut into reads at arbitrary points,
// writing into a real folder: nothing may land outside it, no link or temporary file but a
// kept part may be left in it, and whatever it answered must be frames of ours. A part of
// "f" (16 bytes, time 0; "01234567" held) waits to be resumed in every run.
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "net/MemoryStream.h"
#include "transfer/Frame.h"
#include "transfer/FrameReader.h"
#include "transfer/PartResume.h"
#include "transfer/PartStore.h"
#include "transfer/ReceiveSession.h"
#include "transfer/ReceivedFile.h"
#include "transfer/ReceivedName.h"
#include "transfer/SecureReceive.h"

namespace {

std::string g_parent;  // holds the receive folder and nothing else
std::string g_folder;

int Check(const char* path, const struct stat* info, int type, FTW*) {
    const char* name = strrchr(path, '/');
    name = name != nullptr ? name + 1 : path;
    if (type == FTW_SL || type == FTW_SLN || (type != FTW_D && !S_ISREG(info->st_mode)))
        abort();  // the receiver makes folders and regular files only
    const std::string record = std::string(path) + std::string(PartStore::kRecordSuffix);
    if (strncmp(name, received_name::kTemporaryPrefix.data(),
                received_name::kTemporaryPrefix.size()) == 0 &&
        !std::string(path).ends_with(PartStore::kRecordSuffix) && access(record.c_str(), F_OK) != 0)
        abort();  // a temporary file outlived its session, and is no part kept
    return 0;
}

int Remove(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/zw-fuzz-secure-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr)
        abort();
    g_parent = made;
    g_folder = g_parent + "/in";
    // The activity log goes to the receive folder below HOME: keep it off the user's.
    setenv("HOME", (g_parent + "/home").c_str(), 1);
    mkdir((g_parent + "/home").c_str(), 0700);
    atexit([] { nftw(g_parent.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // Two bytes of settings: the read sizes, and whether our HELLO opens the stream.
    const size_t cut = 1u + data[0] * 7u;
    const bool hello = (data[1] & 1) == 0;
    MemoryStream stream;
    std::string bytes = hello ? frame::Encode(frame::Hello{}) : std::string();
    bytes.append(reinterpret_cast<const char*>(data + 2), size - 2);
    for (size_t at = 0; at < bytes.size(); at += cut) {
        stream.pieces.push_back(bytes.substr(at, cut));
    }
    mkdir(g_folder.c_str(), 0700);
    const std::string key(64, 'f');
    const PartStore::Key kept{key, "f", 16, 0};
    const std::string part = PartStore::NameFor(kept);
    const int fd = open((g_folder + "/" + part).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, "01234567", 8) != 8 || close(fd) != 0 ||
        !PartStore(g_folder).Record(part, kept, 8, time(nullptr)))
        abort();
    {
        ReceivedFile file(g_folder);
        ReceiveSession session(file, ReceiveSession::Sizes::Exact);
        const std::atomic<bool> stopping{false};
        PartResume resume(g_folder, key, {}, &stopping);
        secure_receive::Run(stream, net::kNoDeadline, nullptr, stopping, file, session, g_folder,
                            "fuzz", {}, {}, &resume);
    }
    if (nftw(g_parent.c_str(), Check, 16, FTW_PHYS) != 0)
        abort();
    // Outside the receive folder only the home of the log may stand.
    for (const char* entry : {"/in", "/home"}) {
        struct stat info {};
        if (lstat((g_parent + entry).c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            abort();
    }
    // Every answer is a whole frame of the receiving side.
    FrameReader answers({frame::Type::Hello, frame::Type::Verdict, frame::Type::Ack,
                         frame::Type::Resume, frame::Type::End});
    for (size_t at = 0; at < stream.written.size();) {
        const size_t used = answers.Feed(stream.written.data() + at, stream.written.size() - at);
        at += used;
        if (answers.state() == FrameReader::State::Failed && used > 0) {
            // The ACK of a file in a folder names its path, which no plain name holds.
            if (answers.error() != frame::Error::BadName)
                abort();
            answers = FrameReader({frame::Type::Hello, frame::Type::Verdict, frame::Type::Ack,
                                   frame::Type::Resume, frame::Type::End});
            continue;
        }
        if (answers.state() != FrameReader::State::Done)
            abort();
        answers.Next();
    }
    if (!answers.AtStart())
        abort();  // half a frame
    nftw(g_folder.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
