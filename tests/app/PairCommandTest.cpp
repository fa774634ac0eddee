// `zingwell --pair` from a terminal against a running headless copy that accepts: both
// computers' lists then hold each other's key, paired.
#include <gtest/gtest.h>

#include "secure/Identity.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/ProcessStatus.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

namespace {

TEST(PairCommand, PairsWithARunningCopyAndBothKeepTheOthersKey) {
    ZW_ENTER_OWN_NETWORK();
    const std::string peerFolder = TestPaths::NewFolder("peer-identity");
    const std::string config = TestPaths::NewFolder("config");
    ChildProcess peer;
    ASSERT_TRUE(peer.Start({ZINGWELL_BINARY_DIR "/bench/zw_peer", "--port", "0", "--identity",
                            peerFolder, "--accept-pairing", "--receive", "1", "--timeout", "60"},
                           ChildProcess::Options::Piped()));
    const std::string keyLine = peer.ReadLine();
    const std::string listening = peer.ReadLine();
    ASSERT_EQ(keyLine.rfind("key ", 0), 0u) << keyLine;
    ASSERT_EQ(listening.rfind("listening ", 0), 0u) << listening;
    const std::string peerKey = keyLine.substr(4);
    const std::string port = listening.substr(10);

    ChildProcess pairing;
    const std::string output = TestPaths::NewFolder("out") + "/pair.txt";
    ChildOptions options;
    options.env = {"XDG_CONFIG_HOME=" + config};
    options.output = output;
    ASSERT_TRUE(pairing.Start(
        {"sh", "-c", std::string("echo y | '") + ZINGWELL_PROGRAM + "' --pair 127.0.0.1:" + port},
        options));
    EXPECT_TRUE(ExitedWith(pairing.Wait(), 0)) << ReadFile(output);
    const std::string said = ReadFile(output);
    EXPECT_NE(said.find("Do the codes match? [y/N] "), std::string::npos) << said;
    EXPECT_EQ(peer.ReadLine(), "code " + said.substr(said.find("code:\n\n    ") + 11, 7));
    EXPECT_TRUE(ExitedWith(peer.Wait(), 0));

    std::string error;
    const std::optional<Identity> ours = Identity::LoadOrCreate(config + "/zingwell", error);
    ASSERT_TRUE(ours && !ours->made()) << error;
    EXPECT_NE(ReadFile(config + "/zingwell/computers").find("k:" + peerKey + "\tpaired\t127.0.0.1"),
              std::string::npos);
    EXPECT_NE(ReadFile(peerFolder + "/computers").find("k:" + ours->keyHash() + "\tpaired"),
              std::string::npos);
}

}  // namespace
