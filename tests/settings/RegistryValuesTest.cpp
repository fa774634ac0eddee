#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/RegistryDocument.h"
#include "platform/RegistryKey.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

const std::string kKey = "SOFTWARE\\QUILLO\\ZINGWELL\\";

void StoreRaw(const std::string& name, uint32_t type, const std::string& bytes,
              RegRoot root = RegRoot::CurrentUser) {
    RegistryKey key;
    ASSERT_TRUE(key.OpenForWrite(root, "SOFTWARE\\QUILLO\\ZINGWELL"));
    ASSERT_TRUE(key.SetValue(name, type, bytes.data(), static_cast<uint32_t>(bytes.size())));
}

TEST(RegistryValues, AbsentValuesGiveTheirDefaults) {
    EXPECT_EQ(RegistryText(kKey + "servaddr", "dflt", true, RegRoot::CurrentUser).Get(), "dflt");
    EXPECT_EQ(RegistryNumber(kKey + "manual", 1, true, RegRoot::CurrentUser).Get(), 1u);
    EXPECT_FALSE(FileExists(TestPaths::UserRegistry()));  // reading writes nothing
}

TEST(RegistryValues, WritesLandInTheUserFileWithTypesAndPrivateMode) {
    RegistryText(kKey + "servaddr", "", true, RegRoot::CurrentUser).Set("10.0.0.7");
    RegistryNumber(kKey + "useftp", 0, true, RegRoot::CurrentUser).Set(1);
    const std::string text = ReadFile(TestPaths::UserRegistry());
    EXPECT_EQ(text,
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n"
              "\"servaddr\"=\"10.0.0.7\"\n\"useftp\"=dword:00000001\n");
    struct stat info {};
    ASSERT_EQ(stat(TestPaths::UserRegistry().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(RegistryText(kKey + "servaddr", "", true, RegRoot::CurrentUser).Get(), "10.0.0.7");
}

TEST(RegistryValues, ANumberTakesStoredBytesFromTheLowEndWhateverTheirType) {
    StoreRaw("two", kRegSz, std::string("\x05\x01", 2));
    StoreRaw("five", kRegBinary, "12345");
    // Held 0xAABBCCDD (the default): two stored bytes replace the low two only.
    EXPECT_EQ(RegistryNumber(kKey + "two", 0xAABBCCDDu, true, RegRoot::CurrentUser).Get(),
              0xAABB0105u);
    // More than four bytes count as absent.
    EXPECT_EQ(RegistryNumber(kKey + "five", 9, true, RegRoot::CurrentUser).Get(), 9u);
}

TEST(RegistryValues, ATextIsTheStoredBytesUpToTheFirstNul) {
    StoreRaw("nonul", kRegSz, "abc");
    StoreRaw("inner", kRegSz, std::string("ab\0cd\0", 6));
    StoreRaw("empty", kRegBinary, "");
    EXPECT_EQ(RegistryText(kKey + "nonul", "", true, RegRoot::CurrentUser).Get(), "abc");
    EXPECT_EQ(RegistryText(kKey + "inner", "", true, RegRoot::CurrentUser).Get(), "ab");
    EXPECT_EQ(RegistryText(kKey + "empty", "x", true, RegRoot::CurrentUser).Get(), "");
}

TEST(RegistryValues, KeySplitting) {
    RegistryText rooted("\\\\noslash", "", true, RegRoot::CurrentUser);
    EXPECT_EQ(rooted.subkeyPath(), "");
    EXPECT_EQ(rooted.valueName(), "noslash");
    rooted.Set("at the root");
    EXPECT_NE(ReadFile(TestPaths::UserRegistry()).find("[HKEY_CURRENT_USER]\n\"noslash\"="),
              std::string::npos);

    RegistryText nested("\\A\\B\\\\name", "", true, RegRoot::CurrentUser);
    EXPECT_EQ(nested.subkeyPath(), "A\\B");
    EXPECT_EQ(nested.valueName(), "name");
}

TEST(RegistryValues, ForceDecidesBetweenCacheAndStore) {
    StoreRaw("port", kRegSz, std::string("1\0", 2));
    RegistryText cachedText(kKey + "port", "", false, RegRoot::CurrentUser);
    RegistryText forcedText(kKey + "port", "", true, RegRoot::CurrentUser);
    StoreRaw("port", kRegSz, std::string("2\0", 2));
    EXPECT_EQ(cachedText.Get(), "1");  // cached after the read at construction
    EXPECT_EQ(forcedText.Get(), "2");

    // Setting an equal text without force writes nothing: the outside change survives.
    StoreRaw("port", kRegSz, std::string("3\0", 2));
    cachedText.Set("1");
    EXPECT_EQ(RegistryText(kKey + "port", "", true, RegRoot::CurrentUser).Get(), "3");
    forcedText.Set("2");
    EXPECT_EQ(RegistryText(kKey + "port", "", true, RegRoot::CurrentUser).Get(), "2");
}

TEST(RegistryValues, MachineValuesFallBackToDefaultsWhenTheFolderCannotBeWritten) {
    // A plain file where a folder should be stops even root from writing there.
    const std::string blocker = TestPaths::NewFolder("system") + "/blocker";
    WriteFile(blocker, "");
    setenv("ZINGWELL_SYSTEM_DIR", (blocker + "/zingwell").c_str(), 1);
    RegistryText group(kKey + "MulticastIP", "225.6.7.8", true, RegRoot::LocalMachine);
    group.Write();
    EXPECT_FALSE(group.cached());
    EXPECT_EQ(group.Get(), "225.6.7.8");
}

TEST(RegistryValues, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kPerProcess = 40;
    ChildProcess children[2];
    for (int child = 0; child < 2; ++child) {
        ASSERT_TRUE(children[child].Fork([&] {
            for (int i = 0; i < kPerProcess; ++i) {
                RegistryNumber(kKey + "v" + std::to_string(child) + "_" + std::to_string(i), 0,
                               true, RegRoot::CurrentUser)
                    .Set(static_cast<uint32_t>(i + 1));
            }
        }));
    }
    for (ChildProcess& child : children) {
        EXPECT_TRUE(ExitedWith(child.Wait()));
    }
    for (int child = 0; child < 2; ++child) {
        for (int i = 0; i < kPerProcess; ++i) {
            EXPECT_EQ(RegistryNumber(kKey + "v" + std::to_string(child) + "_" + std::to_string(i),
                                     0, true, RegRoot::CurrentUser)
                          .Get(),
                      static_cast<uint32_t>(i + 1));
        }
    }
}

TEST(RegistryValues, ADamagedFileIsReadAsFarAsPossibleAndRepairedByTheNextWrite) {
    const std::string folder = TestPaths::Root() + "/config/zingwell";
    mkdir(folder.c_str(), 0700);
    WriteFile(TestPaths::UserRegistry(),
              "REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n\"a\"=\"1\"\n"
              "\x01\x02\xff garbage\n\"b\"=dword:zz\n\"c\"=\"3\"\n[HKEY_CURRENT_USER\\SOFT");
    EXPECT_EQ(RegistryText(kKey + "a", "", true, RegRoot::CurrentUser).Get(), "1");
    EXPECT_EQ(RegistryNumber(kKey + "b", 5, true, RegRoot::CurrentUser).Get(), 5u);
    EXPECT_EQ(RegistryText(kKey + "c", "", true, RegRoot::CurrentUser).Get(), "3");
    RegistryText(kKey + "d", "", true, RegRoot::CurrentUser).Set("4");
    EXPECT_EQ(ReadFile(TestPaths::UserRegistry()),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n"
              "\"a\"=\"1\"\n\"c\"=\"3\"\n\"d\"=\"4\"\n");
}

}  // namespace
