#include "transfer/BatchFrames.h"

namespace batch_frames {

namespace {

void Put(std::string& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// Reads big-endian numbers off the front of a payload; any read past its end fails them all.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    uint64_t Number(size_t bytes) {
        if (!ok_ || bytes_.size() < bytes) {
            ok_ = false;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < bytes; ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes_[i]);
        }
        bytes_.remove_prefix(bytes);
        return value;
    }
    std::string_view Text(size_t length) {
        if (!ok_ || bytes_.size() < length) {
            ok_ = false;
            return {};
        }
        const std::string_view text = bytes_.substr(0, length);
        bytes_.remove_prefix(length);
        return text;
    }
    // Every read succeeded and nothing is left over.
    bool Whole() const { return ok_ && bytes_.empty(); }

private:
    std::string_view bytes_;
    bool ok_ = true;
};

std::string Frame(uint8_t type, const std::string& payload) {
    std::string frame;
    frame.reserve(kHeaderSize + payload.size());
    frame += static_cast<char>(type);
    Put(frame, payload.size(), 4);
    return frame + payload;
}

}  // namespace

std::string EncodeBatch(const Batch& batch) {
    if (batch.root.size() > kMaxRoot || batch.files > kMaxEntries || batch.folders > kMaxEntries) {
        return {};
    }
    std::string payload;
    Put(payload, batch.files, 4);
    Put(payload, batch.folders, 4);
    Put(payload, batch.totalBytes, 8);
    Put(payload, batch.root.size(), 2);
    payload += batch.root;
    return Frame(kBatch, payload);
}

std::string EncodeFolder(std::string_view path) {
    if (path.empty() || path.size() > kMaxPath) {
        return {};
    }
    std::string payload;
    Put(payload, path.size(), 2);
    payload += path;
    return Frame(kFolder, payload);
}

std::string EncodePrefixHash(const PrefixHash& hash) {
    if (hash.offset == 0) {
        return {};
    }
    std::string payload;
    Put(payload, hash.offset, 8);
    payload.append(reinterpret_cast<const char*>(hash.sha256.data()), hash.sha256.size());
    return Frame(kPrefixHash, payload);
}

std::string EncodeResume(uint64_t offset) {
    std::string payload;
    Put(payload, offset, 8);
    return Frame(kResume, payload);
}

bool DecodeBatch(std::string_view payload, Batch& batch) {
    Reader reader(payload);
    Batch read;
    read.files = static_cast<uint32_t>(reader.Number(4));
    read.folders = static_cast<uint32_t>(reader.Number(4));
    read.totalBytes = reader.Number(8);
    const size_t rootLength = reader.Number(2);
    read.root = reader.Text(rootLength);
    if (!reader.Whole() || rootLength > kMaxRoot || read.files > kMaxEntries ||
        read.folders > kMaxEntries) {
        return false;
    }
    batch = std::move(read);
    return true;
}

bool DecodeFolder(std::string_view payload, std::string& path) {
    Reader reader(payload);
    const size_t length = reader.Number(2);
    const std::string_view text = reader.Text(length);
    if (!reader.Whole() || length == 0 || length > kMaxPath) {
        return false;
    }
    path = text;
    return true;
}

bool DecodePrefixHash(std::string_view payload, PrefixHash& hash) {
    Reader reader(payload);
    const uint64_t offset = reader.Number(8);
    const std::string_view digest = reader.Text(32);
    if (!reader.Whole() || offset == 0) {
        return false;
    }
    hash.offset = offset;
    for (size_t i = 0; i < hash.sha256.size(); ++i) {
        hash.sha256[i] = static_cast<uint8_t>(digest[i]);
    }
    return true;
}

bool DecodeResume(std::string_view payload, uint64_t& offset) {
    Reader reader(payload);
    const uint64_t read = reader.Number(8);
    if (!reader.Whole()) {
        return false;
    }
    offset = read;
    return true;
}

Header ReadHeader(std::string_view bytes, uint8_t& type, uint32_t& length) {
    if (bytes.size() < kHeaderSize) {
        return Header::NeedMore;
    }
    Reader reader(bytes.substr(0, kHeaderSize));
    const auto readType = static_cast<uint8_t>(reader.Number(1));
    const auto readLength = static_cast<uint32_t>(reader.Number(4));
    if (readLength > kMaxPayload) {
        return Header::TooLong;
    }
    type = readType;
    length = readLength;
    return Header::Whole;
}

}  // namespace batch_frames
