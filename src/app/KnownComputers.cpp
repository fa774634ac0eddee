#include "app/KnownComputers.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "core/DisplayName.h"
#include "secure/TrustStore.h"

namespace {

std::string StateName(const TrustEntry& entry) {
    return entry.Describe();
}

// "k:HASH" and "i:KEYID" give the key id; an address entry has no key.
std::string KeyIdOf(const TrustEntry& entry) {
    return entry.key.rfind("a:", 0) != 0 ? entry.key.substr(2, 16) : std::string("-");
}

std::string AddressOf(const TrustEntry& entry) {
    if (!entry.lastAddress.empty()) {
        return entry.lastAddress;
    }
    return entry.key.rfind("a:", 0) == 0 ? entry.key.substr(2) : std::string("-");
}

std::string Padded(std::string text, size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text + "  ";
}

bool IsHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return isxdigit(c); });
}

}  // namespace

int KnownComputers::List(TrustStore& store, std::string& out, std::string& error) {
    if (!store.Reload(error)) {
        return 1;
    }
    const std::vector<TrustEntry> entries = store.All();
    if (entries.empty()) {
        out = "No known computers.\n";
        return 0;
    }
    out = Padded("NAME", 24) + Padded("LAST ADDRESS", 15) + Padded("KEY ID", 16) + "STATE\n";
    for (const TrustEntry& entry : entries) {
        const std::string name = entry.name.empty() ? "-" : DisplayName(entry.name, 24);
        out += Padded(name, 24) + Padded(AddressOf(entry), 15) + Padded(KeyIdOf(entry), 16) +
               StateName(entry) + "\n";
    }
    return 0;
}

std::optional<TrustEntry> KnownComputers::Match(TrustStore& store, const std::string& id,
                                                std::string& error) {
    if (!store.Reload(error)) {
        return std::nullopt;
    }
    std::string wanted = id;
    std::transform(wanted.begin(), wanted.end(), wanted.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    const bool byKey = wanted.size() >= 8 && wanted.size() <= 64 && IsHex(wanted);
    std::vector<TrustEntry> matches;
    for (const TrustEntry& entry : store.All()) {
        const bool match =
            byKey ? entry.key.rfind("k:" + wanted, 0) == 0 || entry.key.rfind("i:" + wanted, 0) == 0
                  : entry.key == TrustEntry::KeyForAddress(id) ||
                        (!id.empty() && entry.lastAddress == id);
        if (match) {
            matches.push_back(entry);
        }
    }
    const std::string shown = DisplayName(id, 64);
    if (matches.empty()) {
        error = "No known computer has the key id or address " + shown +
                " (a key id needs 8 hex digits or more; see zingwell --computers).";
        return std::nullopt;
    }
    if (matches.size() > 1) {
        error = shown + " names " + std::to_string(matches.size()) +
                " computers; give more of the key id (see zingwell --computers).";
        return std::nullopt;
    }
    return matches.front();
}

int KnownComputers::Forget(TrustStore& store, const std::string& id, std::string& out,
                           std::string& error) {
    const std::optional<TrustEntry> match = Match(store, id, error);
    if (!match) {
        return 1;
    }
    if (!store.Forget(match->key)) {
        error = "Could not write " + store.path() + "; nothing was forgotten.";
        return 1;
    }
    const std::string name = match->name.empty() ? AddressOf(*match) : DisplayName(match->name, 64);
    out = "Forgot " + name + " (" + KeyIdOf(*match) + ", " + StateName(*match) + ").\n";
    return 0;
}

int KnownComputers::Change(TrustStore& store, const std::string& id, TrustEntry::State state,
                           std::string& out, std::string& error) {
    std::optional<TrustEntry> match = Match(store, id, error);
    if (!match) {
        return 1;
    }
    const std::string name = match->name.empty() ? AddressOf(*match) : DisplayName(match->name, 64);
    if (match->state == TrustEntry::State::Paired) {
        error = name + " is paired; forget it first to decide on its files otherwise.";
        return 1;
    }
    match->state = state;
    if (!store.Put(*match)) {
        error = "Could not write " + store.path() + "; nothing was changed.";
        return 1;
    }
    out = name + " (" + KeyIdOf(*match) + "): " + StateName(*match) + ".\n";
    return 0;
}
