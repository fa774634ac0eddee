#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include "app/KnownComputers.h"
#include "secure/TrustStore.h"
#include "support/TestPaths.h"

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

TEST(CommandLine, ComputersAreListedAndForgottenByKeyIdOrAddress) {
    EXPECT_EQ(Parse({"--computers"}).action, CommandLine::Action::Computers);
    const CommandLine forget = Parse({"--forget", "AAAABBBB"});
    EXPECT_EQ(forget.action, CommandLine::Action::Forget);
    EXPECT_EQ(forget.forget, "AAAABBBB");
    EXPECT_EQ(Parse({"--forget"}).action, CommandLine::Action::Error);

    const std::string folder = TestPaths::NewFolder("identity");
    TrustStore store(folder);
    std::string out, error;
    ASSERT_EQ(KnownComputers::List(store, out, error), 0) << error;
    EXPECT_EQ(out, "No known computers.\n");
    const std::string bob = "aaaabbbbcccc1111" + std::string(48, 'e');
    const std::string carl = "aaaabbbbdddd2222" + std::string(48, 'f');
    ASSERT_TRUE(store.Put(
        {TrustEntry::KeyForHash(bob), TrustEntry::State::Paired, "10.0.0.7", "Bob\x1b[2J"}));
    ASSERT_TRUE(
        store.Put({TrustEntry::KeyForHash(carl), TrustEntry::State::Blocked, "10.0.0.8", "Carl"}));
    ASSERT_TRUE(store.Put(
        {TrustEntry::KeyForAddress("10.0.0.9"), TrustEntry::State::Allowed, "10.0.0.9", ""}));

    TrustStore other(folder);  // another process's view of the same file
    ASSERT_EQ(KnownComputers::List(other, out, error), 0) << error;
    EXPECT_NE(out.find("Bob?[2J"), std::string::npos);  // no escape reaches the terminal
    EXPECT_NE(out.find("10.0.0.7         aaaabbbbcccc1111  paired\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Carl"), std::string::npos);
    EXPECT_NE(out.find("10.0.0.9         -                 allowed (by address only)\n"),
              std::string::npos)
        << out;

    // Always <-> never, by address or key id; a pairing is not changed that way.
    EXPECT_EQ(KnownComputers::Change(other, "10.0.0.9", TrustEntry::State::Blocked, out, error), 0)
        << error;
    EXPECT_EQ(out, "10.0.0.9 (-): blocked (by address only).\n");
    EXPECT_EQ(KnownComputers::Change(other, "aaaabbbbcccc", TrustEntry::State::Allowed, out, error),
              1);
    EXPECT_EQ(KnownComputers::Change(other, "aaaabbbbdddd", TrustEntry::State::Allowed, out, error),
              0)
        << error;
    EXPECT_EQ(out, "Carl (aaaabbbbdddd2222): allowed (not verified).\n");
    EXPECT_EQ(Parse({"--never", "10.0.0.9"}).action, CommandLine::Action::Never);
    EXPECT_EQ(KnownComputers::Forget(other, "aaaabbbb", out, error), 1);  // two computers
    EXPECT_EQ(KnownComputers::Forget(other, "aaaabbb", out, error), 1);   // too short
    EXPECT_EQ(KnownComputers::Forget(other, "AAAABBBBDDDD", out, error), 0) << error;
    EXPECT_EQ(KnownComputers::Forget(other, "10.0.0.9", out, error), 0) << error;
    std::string reload;
    ASSERT_TRUE(store.Reload(reload));
    ASSERT_EQ(store.All().size(), 1u);
    EXPECT_EQ(store.All().front().key, TrustEntry::KeyForHash(bob));
}

}  // namespace
