#include "core/ReceiveFolder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ActivityLog.h"
#include "platform/HomeFolder.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

TEST(ReceiveFolder, IsMadeInTheHomeOnFirstUseAndThenFixed) {
    EXPECT_FALSE(FileExists(TestPaths::ReceiveFolder()));
    EXPECT_EQ(GetReceiveFolder(), TestPaths::ReceiveFolder());
    struct stat info {};
    ASSERT_EQ(stat(TestPaths::ReceiveFolder().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    setenv("HOME", "/somewhere/else", 1);
    EXPECT_EQ(GetReceiveFolder(), TestPaths::ReceiveFolder());
}

TEST(ReceiveFolder, AMissingHomeFallsBackToAPrivateFolder) {
    setenv("HOME", (TestPaths::Root() + "/no/such/home").c_str(), 1);
    const std::string folder = GetReceiveFolder();
    EXPECT_EQ(folder, TestPaths::Root() + "/run/zingwell");
    struct stat info {};
    ASSERT_EQ(lstat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, getuid());
}

TEST(ReceiveFolder, TheFallbackRefusesAFolderPlantedAsALink) {
    setenv("HOME", (TestPaths::Root() + "/no/such/home").c_str(), 1);
    const std::string planted = TestPaths::NewFolder("planted");
    ASSERT_EQ(symlink(planted.c_str(), (TestPaths::Root() + "/run/zingwell").c_str()), 0);
    const std::string folder = SafeFallbackFolder();
    EXPECT_NE(folder, TestPaths::Root() + "/run/zingwell");
    EXPECT_NE(folder.find("/tmp/zingwell-"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(lstat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_uid, getuid());
}

TEST(ReceiveFolder, APlainFileInItsPlaceIsUsedAndTheLogFailsQuietly) {
    WriteFile(TestPaths::ReceiveFolder(), "not a folder");
    EXPECT_EQ(GetReceiveFolder(), TestPaths::ReceiveFolder());
    WriteLog("nowhere to go\n");
    WriteLogValue("Error code", 1);
    EXPECT_EQ(ReadFile(TestPaths::ReceiveFolder()), "not a folder");
}

TEST(ReceiveFolder, WithoutHomeTheHomeComesFromThePasswordDatabase) {
    unsetenv("HOME");
    EXPECT_FALSE(HomeDirectory().empty());
}

}  // namespace
