#pragma once

#include <optional>
#include <string>

#include "secure/TrustEntry.h"

class TrustStore;

// `zingwell --computers` and `zingwell --forget ID`: the known computers from a terminal,
// without a display and without starting the program. A running copy rereads the file
// before its next decision.
class KnownComputers {
public:
    // One line per computer: name, last address, key id (16 hex digits), state. Status 0, or
    // 1 with the reason in `error` when the file cannot be read.
    static int List(TrustStore& store, std::string& out, std::string& error);
    // Removes the one computer whose key id starts with `id` (8 hex digits or more), or whose
    // address it is. Status 0 with what was forgotten in `out`, else 1 and why in `error`.
    static int Forget(TrustStore& store, const std::string& id, std::string& out,
                      std::string& error);
    // The user's answer on a computer's files changed (Allowed: always, Blocked: never); a
    // paired computer is left as it is. As Forget for the status and the texts.
    static int Change(TrustStore& store, const std::string& id, TrustEntry::State state,
                      std::string& out, std::string& error);

private:
    // The one computer that id names, else nullopt and why in `error`.
    static std::optional<TrustEntry> Match(TrustStore& store, const std::string& id,
                                           std::string& error);
};
