#include "secure/TrustStore.h"

TrustStore::TrustStore(std::string folder)
    : folder_(std::move(folder)), path_(folder_ + "/computers") {}

bool TrustStore::Reload(std::string&) {
    return true;
}
std::optional<TrustEntry> TrustStore::Find(const std::string&) const {
    return std::nullopt;
}
std::optional<TrustEntry> TrustStore::PairedForAddress(const std::string&) const {
    return std::nullopt;
}
std::vector<TrustEntry> TrustStore::All() const {
    return {};
}
bool TrustStore::HasPaired() const {
    return false;
}
bool TrustStore::Put(const TrustEntry&) {
    return false;
}
bool TrustStore::Forget(const std::string&) {
    return false;
}
bool TrustStore::Save() {
    return false;
}
