#include "secure/TrustFile.h"

TrustFile TrustFile::Parse(std::string_view) {
    return {};
}
std::string TrustFile::Format() const {
    return {};
}
std::optional<TrustEntry> TrustFile::ParseLine(std::string_view) {
    return std::nullopt;
}
std::string TrustFile::FormatLine(const TrustEntry&) {
    return {};
}
bool TrustFile::ValidKey(std::string_view) {
    return false;
}
std::string TrustFile::PercentEncode(std::string_view text) {
    return std::string(text);
}
std::optional<std::string> TrustFile::PercentDecode(std::string_view text) {
    return std::string(text);
}
