#include "settings/InitSettings.h"

#include <gtest/gtest.h>

#include <thread>

#include "settings/LiveSettings.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

const std::string kKey = "SOFTWARE\\QUILLO\\ZINGWELL\\";

std::string Stored(const char* name) {
    return RegistryText(kKey + name, "<absent>", true, RegRoot::CurrentUser).Get();
}

TEST(InitSettings, FirstRunStoresTheFirstRunValuesAndUsesThemAtOnce) {
    InitSettings();
    EXPECT_EQ(ReadFile(TestPaths::UserRegistry()),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n"
              "\"servaddr\"=\"255.255.255.255\"\n\"clientport\"=\"6677\"\n"
              "\"autoport\"=\"6677\"\n\"serverport\"=\"6677\"\n"
              "\"ftpip\"=\"255.255.255.255\"\n\"target\"=\"/\"\n\"user\"=\"username\"\n"
              "\"pass\"=\"secretpw\"\n\"useftp\"=dword:00000000\n\"server\"=dword:00000001\n"
              "\"manual\"=dword:00000001\n\"auto\"=dword:00000000\n\"computername\"=\"" +
                  DefaultComputerName() + "\"\n\"advertisesecure\"=dword:00000001\n");
    const SettingsValues live = LiveSettings.Snapshot();
    EXPECT_FALSE(live.computername.empty());
    EXPECT_EQ(live.computername, DefaultComputerName());
    EXPECT_EQ(live.advertisesecure, 1);
    EXPECT_EQ(live.servaddr, "255.255.255.255");
    EXPECT_EQ(live.clientport, "6677");
    EXPECT_EQ(live.serverport, "6677");
    EXPECT_EQ(live.autoport, "6677");
    EXPECT_EQ(live.ftpip, "255.255.255.255");
    EXPECT_EQ(live.target, "/");
    EXPECT_EQ(live.user, "username");
    EXPECT_EQ(live.pass, "secretpw");
    EXPECT_EQ(live.useftp, 0);
    EXPECT_EQ(live.server, 1);
    EXPECT_EQ(live.manual, 1);
    EXPECT_EQ(live.auto_, 0);
}

TEST(InitSettings, AnEmptyBuddyAddressCountsAsAFirstRunThatKeepsStoredValues) {
    RegistryText(kKey + "servaddr", "", true, RegRoot::CurrentUser).Set("");
    RegistryText(kKey + "serverport", "", true, RegRoot::CurrentUser).Set("7000");
    RegistryNumber(kKey + "auto", 0, true, RegRoot::CurrentUser).Set(1);
    InitSettings();
    EXPECT_EQ(Stored("servaddr"), "255.255.255.255");
    EXPECT_EQ(Stored("serverport"), "7000");
    EXPECT_EQ(Stored("clientport"), "6677");
    EXPECT_EQ(LiveSettings.Get(LiveSettingsStore::Text::serverport), "7000");
    EXPECT_EQ(LiveSettings.auto_, 1);
}

TEST(InitSettings, StoredSettingsAreLoadedWithDefaultsForAbsentOnesAndNothingWritten) {
    RegistryText(kKey + "servaddr", "", true, RegRoot::CurrentUser).Set("10.1.2.3");
    const std::string before = ReadFile(TestPaths::UserRegistry());
    InitSettings();
    EXPECT_EQ(ReadFile(TestPaths::UserRegistry()), before);
    const SettingsValues live = LiveSettings.Snapshot();
    EXPECT_EQ(live.servaddr, "10.1.2.3");
    EXPECT_EQ(live.clientport, "");
    EXPECT_EQ(live.pass, "");
    EXPECT_EQ(live.useftp, 0);
    EXPECT_EQ(live.server, 0);
    EXPECT_EQ(live.manual, 1);
    EXPECT_EQ(live.auto_, 0);
    // A store from before the computer's name and the offer existed.
    EXPECT_EQ(live.computername, DefaultComputerName());
    EXPECT_EQ(live.advertisesecure, 1);
}

TEST(LiveSettings, ABuddyWrittenOnOneThreadIsNeverSeenHalfWrittenOnAnother) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            LiveSettings.SetBuddy(i % 2 ? "10.0.0.1" : "192.168.100.200", i % 2 ? "1" : "65535");
        }
        done = true;
    });
    size_t mismatches = 0;
    while (!done) {
        std::string address, port;
        LiveSettings.GetBuddy(address, port);
        if (!address.empty() && (address == "10.0.0.1") != (port == "1")) {
            ++mismatches;
        }
    }
    writer.join();
    EXPECT_EQ(mismatches, 0u);
}

}  // namespace
