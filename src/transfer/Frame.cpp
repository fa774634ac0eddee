#include "transfer/Frame.h"

#include <algorithm>

#include "transfer/ReceivedName.h"
#include "transfer/RelativePath.h"

namespace frame {

namespace {

void PutNumber(std::string& out, uint64_t value, size_t bytes) {
    for (size_t i = bytes; i-- > 0;) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// A text field is cut to what its two-byte length can say.
void PutText(std::string& out, std::string_view text) {
    text = text.substr(0, 0xFFFF);
    PutNumber(out, text.size(), 2);
    out.append(text);
}

std::string WithHeader(Type type, const std::string& payload) {
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    out.push_back(static_cast<char>(type));
    PutNumber(out, payload.size(), 4);
    return out + payload;
}

// Reads fields off the front of a payload; once one is missing, every later read fails too.
class Fields {
public:
    explicit Fields(std::string_view payload) : rest_(payload) {}
    uint64_t Number(size_t bytes) {
        if (rest_.size() < bytes) {
            ok_ = false;
            rest_ = {};
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < bytes; ++i) {
            value = (value << 8) | static_cast<uint8_t>(rest_[i]);
        }
        rest_.remove_prefix(bytes);
        return value;
    }
    std::string Text() {
        const size_t length = static_cast<size_t>(Number(2));
        if (rest_.size() < length) {
            ok_ = false;
            rest_ = {};
            return {};
        }
        std::string text(rest_.substr(0, length));
        rest_.remove_prefix(length);
        return text;
    }
    // Every field was there and nothing is left over.
    bool Whole() const { return ok_ && rest_.empty(); }

private:
    std::string_view rest_;
    bool ok_ = true;
};

}  // namespace

std::string Encode(const Hello& hello) {
    std::string payload;
    PutNumber(payload, hello.version, 1);
    PutNumber(payload, static_cast<uint8_t>(hello.purpose), 1);
    PutText(payload, hello.name);
    return WithHeader(Type::Hello, payload);
}

std::string Encode(const File& file) {
    std::string payload;
    PutNumber(payload, file.size, 8);
    PutNumber(payload, static_cast<uint64_t>(file.mtime), 8);
    PutText(payload, file.path);
    return WithHeader(Type::File, payload);
}

std::string Encode(const Verdict& verdict) {
    std::string payload;
    PutNumber(payload, verdict.accept ? 0 : 1, 1);
    PutNumber(payload, verdict.offset, 8);
    PutText(payload, verdict.reason);
    return WithHeader(Type::Verdict, payload);
}

std::string Encode(const Ack& ack) {
    std::string payload;
    PutNumber(payload, ack.kept ? 0 : 1, 1);
    PutText(payload, ack.name);
    return WithHeader(Type::Ack, payload);
}

std::string Encode(const PrefixHash& prefix) {
    std::string payload;
    PutNumber(payload, prefix.offset, 8);
    payload.append(prefix.digest.begin(), prefix.digest.end());
    return WithHeader(Type::PrefixHash, payload);
}

std::string Encode(const Resume& resume) {
    std::string payload;
    PutNumber(payload, resume.offset, 8);
    return WithHeader(Type::Resume, payload);
}

std::string Encode(const Pair& pair) {
    return WithHeader(pair.type, std::string(pair.bytes.begin(), pair.bytes.end()));
}

std::string Encode(const Confirm& confirm) {
    return WithHeader(Type::PairConfirm, std::string(1, confirm.matched ? '\1' : '\0'));
}

std::string Encode(const End&) {
    return WithHeader(Type::End, {});
}

std::string Encode(const batch_frames::Batch& batch) {
    return batch_frames::EncodeBatch(batch);
}

std::string Encode(const Folder& folder) {
    return batch_frames::EncodeFolder(folder.path);
}

bool IsKnown(uint8_t type) {
    switch (static_cast<Type>(type)) {
        case Type::Hello:
        case Type::File:
        case Type::Verdict:
        case Type::Ack:
        case Type::PrefixHash:
        case Type::Resume:
        case Type::Batch:
        case Type::Folder:
        case Type::PairCommit:
        case Type::PairNonce:
        case Type::PairReveal:
        case Type::PairConfirm:
        case Type::End:
            return true;
    }
    return false;
}

std::optional<Message> Decode(Type type, std::string_view payload, Error& error, Message* refused) {
    error = Error::Malformed;
    Fields fields(payload);
    std::optional<Message> message;
    switch (type) {
        case Type::Hello: {
            Hello hello;
            hello.version = static_cast<uint8_t>(fields.Number(1));
            const uint8_t purpose = static_cast<uint8_t>(fields.Number(1));
            hello.purpose = static_cast<Purpose>(purpose);
            hello.name = fields.Text();
            // A later version may speak another way; this one understands only its own.
            if (!fields.Whole() || hello.version != kVersion || purpose < 1 || purpose > 2) {
                return std::nullopt;
            }
            message = std::move(hello);
            break;
        }
        case Type::File: {
            File file;
            file.size = fields.Number(8);
            file.mtime = static_cast<int64_t>(fields.Number(8));
            file.path = fields.Text();
            if (!fields.Whole()) {
                return std::nullopt;
            }
            if (!received_name::IsAcceptable(file.path)) {
                error = Error::BadName;
                if (refused != nullptr) {
                    *refused = std::move(file);
                }
                return std::nullopt;
            }
            message = std::move(file);
            break;
        }
        case Type::Verdict: {
            Verdict verdict;
            const uint64_t value = fields.Number(1);
            verdict.accept = value == 0;
            verdict.offset = fields.Number(8);
            verdict.reason = fields.Text();
            if (!fields.Whole() || value > 1) {
                return std::nullopt;
            }
            message = std::move(verdict);
            break;
        }
        case Type::Ack: {
            Ack ack;
            const uint64_t value = fields.Number(1);
            ack.kept = value == 0;
            ack.name = fields.Text();
            if (!fields.Whole() || value > 1) {
                return std::nullopt;
            }
            // A file of a folder's group was kept under a path of several names.
            std::vector<std::string> names;
            if (ack.kept && relative_path::Split(ack.name, names) != relative_path::Problem::None) {
                error = Error::BadName;
                return std::nullopt;
            }
            message = std::move(ack);
            break;
        }
        case Type::PrefixHash: {
            PrefixHash prefix;
            prefix.offset = fields.Number(8);
            if (payload.size() != 8 + kDigestBytes || prefix.offset == 0) {
                return std::nullopt;
            }
            std::copy(payload.begin() + 8, payload.end(), prefix.digest.begin());
            message = prefix;
            break;
        }
        case Type::Resume: {
            Resume resume;
            resume.offset = fields.Number(8);
            if (!fields.Whole()) {
                return std::nullopt;
            }
            message = resume;
            break;
        }
        case Type::Batch: {
            batch_frames::Batch batch;
            if (!batch_frames::DecodeBatch(payload, batch)) {
                return std::nullopt;
            }
            message = std::move(batch);
            break;
        }
        case Type::Folder: {
            Folder folder;
            if (!batch_frames::DecodeFolder(payload, folder.path)) {
                return std::nullopt;
            }
            message = std::move(folder);
            break;
        }
        case Type::PairCommit:
        case Type::PairNonce:
        case Type::PairReveal: {
            if (payload.size() != kPairBytes) {
                return std::nullopt;
            }
            Pair pair;
            pair.type = type;
            std::copy(payload.begin(), payload.end(), pair.bytes.begin());
            message = pair;
            break;
        }
        case Type::PairConfirm: {
            const uint64_t value = fields.Number(1);
            if (!fields.Whole() || value > 1) {
                return std::nullopt;
            }
            message = Confirm{value == 1};
            break;
        }
        case Type::End:
            if (!payload.empty()) {
                return std::nullopt;
            }
            message = End{};
            break;
        default:
            error = Error::Unexpected;
            return std::nullopt;
    }
    error = Error::None;
    return message;
}

}  // namespace frame
