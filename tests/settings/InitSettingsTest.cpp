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

using Values = std::vector<std::string>;

// The settings in force: servaddr, clientport, serverport, autoport, ftpip, target, user, pass,
// then the flags useftp, server, manual and auto as one text.
Values InForce() {
    const SettingsValues v = LiveSettings.Snapshot();
    const std::string flags = std::to_string(v.useftp) + std::to_string(v.server) +
                              std::to_string(v.manual) + std::to_string(v.auto_);
    return {v.servaddr, v.clientport, v.serverport, v.autoport, v.ftpip,
            v.target,   v.user,       v.pass,       flags};
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
                  DefaultComputerName() +
                  "\"\n\"advertisesecure\"=dword:00000001\n\"strangers\"=\"ask\"\n");
    EXPECT_EQ(InForce(), (Values{"255.255.255.255", "6677", "6677", "6677", "255.255.255.255", "/",
                                 "username", "secretpw", "0110"}));
    const SettingsValues live = LiveSettings.Snapshot();
    EXPECT_FALSE(live.computername.empty());
    EXPECT_EQ(live.computername, DefaultComputerName());
    EXPECT_EQ(live.advertisesecure, 1);
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
    EXPECT_EQ(InForce(), (Values{"10.1.2.3", "", "", "", "", "", "", "", "0010"}));
    // A store from before the computer's name and the offer existed.
    const SettingsValues live = LiveSettings.Snapshot();
    EXPECT_EQ(live.computername, DefaultComputerName());
    EXPECT_EQ(live.advertisesecure, 1);
    EXPECT_EQ(live.strangers, "ask");
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
