#pragma once

#include <string>
#include <vector>

// What the program was asked to do on its command line:
//   zingwell [--help] [--version] [--computers] [--forget ID] [--always ID] [--never ID]
//            [--] [FILE...]
//   zingwell --pair ADDRESS[:PORT]
// Qt's own options (-platform NAME, -display NAME, -style NAME, ...) are passed on to Qt.
class CommandLine {
public:
    enum class Action { Run, Help, Version, Pair, Computers, Forget, Always, Never, Error };
    static constexpr int kDefaultPort = 6677;

    static CommandLine Parse(int argc, const char* const* argv);
    static const char* Usage();
    static const char* VersionText();
    // A path as given, made absolute against the caller's folder; the bytes are kept as
    // they are (nothing is resolved or converted).
    static std::string Absolute(const std::string& path, const std::string& folder);

    Action action = Action::Run;
    std::vector<std::string> files;   // as given
    std::vector<std::string> qtArgs;  // the program name and Qt's options
    std::string error;                // for Error: the word that was not understood
    std::string pairAddress;          // for Pair: dotted IPv4
    int pairPort = kDefaultPort;
    // for Forget, Always and Never: a key id (8 hex digits or more) or address
    std::string forget;
};
