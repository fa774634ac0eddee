#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {

CommandLine Parse(std::vector<const char*> words) {
    words.insert(words.begin(), "/usr/bin/zingwell");
    return CommandLine::Parse(static_cast<int>(words.size()), words.data());
}

TEST(CommandLine, FilesQtOptionsHelpVersionAndMistakes) {
    const CommandLine files =
        Parse({"a.txt", "-platform", "offscreen", "/b c", "--", "--help", "-", "--reverse"});
    EXPECT_EQ(files.action, CommandLine::Action::Run);
    EXPECT_EQ(files.files, (std::vector<std::string>{"a.txt", "/b c", "--help", "-", "--reverse"}));
    EXPECT_EQ(files.qtArgs,
              (std::vector<std::string>{"/usr/bin/zingwell", "-platform", "offscreen"}));

    EXPECT_EQ(Parse({"x", "--help", "--bogus"}).action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"-h"}).action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, CommandLine::Action::Version);
    EXPECT_EQ(std::string(CommandLine::VersionText()), "Zingwell 2.0.1\n");
    for (const char* wrong : {"--bogus", "-x", "--platform"}) {  // a value is missing too
        const CommandLine line = Parse({"a", wrong});
        EXPECT_EQ(line.action, CommandLine::Action::Error) << wrong;
        EXPECT_EQ(line.error, wrong);
    }
}

TEST(CommandLine, PairTakesAnAddressAndAnOptionalPort) {
    const CommandLine plain = Parse({"--pair", "192.168.1.20"});
    EXPECT_EQ(plain.action, CommandLine::Action::Pair);
    EXPECT_EQ(plain.pairAddress, "192.168.1.20");
    EXPECT_EQ(plain.pairPort, 6677);
    EXPECT_EQ(Parse({"--pair", "10.0.0.2:7000"}).pairPort, 7000);
    for (const char* wrong : {"buddy", "10.0.0.2:", "10.0.0.2:70000", "10.0.0.2:-1", "1.2.3"}) {
        EXPECT_EQ(Parse({"--pair", wrong}).action, CommandLine::Action::Error) << wrong;
    }
    EXPECT_EQ(Parse({"--pair"}).action, CommandLine::Action::Error);
}

TEST(CommandLine, RelativeNamesAreTheCallersAndKeepTheirBytes) {
    EXPECT_EQ(CommandLine::Absolute("caf\xE9.txt", "/home/u"), "/home/u/caf\xE9.txt");
    EXPECT_EQ(CommandLine::Absolute("../x", "/home/u/"), "/home/u/../x");
    EXPECT_EQ(CommandLine::Absolute("/etc/hosts", "/home/u"), "/etc/hosts");
    EXPECT_EQ(CommandLine::Absolute("x", "/"), "/x");
}

}  // namespace
