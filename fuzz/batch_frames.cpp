// Takes arbitrary bytes as a stream of batch frames: every frame a decoder accepts must encode
// back to exactly its bytes, and every path accepted must split into names that stay below
// the folder; a batch's paths go through the case-insensitive bookkeeping too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/BatchFrames.h"
#include "transfer/BatchPaths.h"
#include "transfer/RelativePath.h"

namespace {

void CheckPath(std::string_view path, BatchPaths& batch) {
    std::vector<std::string> names;
    if (relative_path::Split(path, names) != relative_path::Problem::None) {
        if (!names.empty())
            abort();
        return;
    }
    std::string joined;
    for (const std::string& name : names) {
        if (name.empty() || name == "." || name == ".." || name.size() > 255)
            abort();
        for (char c : name) {
            if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                abort();
        }
        joined += (joined.empty() ? "" : "/") + name;
    }
    if (joined != path || names.size() > relative_path::kMaxDepth)
        abort();
    relative_path::FoldCase(path);
    batch.Add(names, path.size() % 2 == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    BatchPaths batch;
    while (!bytes.empty()) {
        uint8_t type = 0;
        uint32_t length = 0;
        if (batch_frames::ReadHeader(bytes, type, length) != batch_frames::Header::Whole ||
            length > bytes.size() - batch_frames::kHeaderSize)
            break;
        const std::string_view frame = bytes.substr(0, batch_frames::kHeaderSize + length);
        const std::string_view payload = frame.substr(batch_frames::kHeaderSize);
        bytes.remove_prefix(frame.size());

        std::string again;
        bool decoded = false;
        if (type == batch_frames::kBatch) {
            batch_frames::Batch read;
            if ((decoded = batch_frames::DecodeBatch(payload, read))) {
                again = batch_frames::EncodeBatch(read);
                if (!read.root.empty())
                    CheckPath(read.root, batch);
            }
        } else if (type == batch_frames::kFolder) {
            std::string path;
            if ((decoded = batch_frames::DecodeFolder(payload, path))) {
                again = batch_frames::EncodeFolder(path);
                CheckPath(path, batch);
            }
        } else if (type == batch_frames::kPrefixHash) {
            batch_frames::PrefixHash read;
            if ((decoded = batch_frames::DecodePrefixHash(payload, read)))
                again = batch_frames::EncodePrefixHash(read);
        } else if (type == batch_frames::kResume) {
            uint64_t offset = 0;
            if ((decoded = batch_frames::DecodeResume(payload, offset)))
                again = batch_frames::EncodeResume(offset);
        } else {
            // Any other frame's payload taken as a path, for the checks' sake.
            CheckPath(payload, batch);
        }
        if (decoded && again != frame)
            abort();
    }
    return 0;
}
