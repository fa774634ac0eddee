#include "secure/Identity.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "secure/IdentityFolder.h"
#include "secure/TrustStore.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(Identity, IsMadePrivateOnceAndLoadedAgainWithTheSameKey) {
    const std::string folder = IdentityFolder();
    EXPECT_EQ(folder, TestPaths::Root() + "/config/zingwell");
    std::string error;
    std::optional<Identity> first = Identity::LoadOrCreate(folder, error);
    ASSERT_TRUE(first) << error;
    EXPECT_TRUE(first->made());
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(ModeOf(first->path()), 0600u);
    EXPECT_EQ(first->keyHash().size(), 64u);
    EXPECT_EQ(first->keyHash().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(first->keyId(), first->keyHash().substr(0, 16));
    const std::string fingerprint = Identity::Fingerprint(first->keyHash());
    EXPECT_EQ(fingerprint.size(), 16u * 4 + 15);
    EXPECT_EQ(fingerprint.substr(0, 5), first->keyHash().substr(0, 4) + " ");
    EXPECT_NE(ReadFile(first->path()).find("BEGIN PRIVATE KEY"), std::string::npos);

    std::optional<Identity> again = Identity::LoadOrCreate(folder, error);
    ASSERT_TRUE(again) << error;
    EXPECT_FALSE(again->made());
    EXPECT_EQ(again->keyHash(), first->keyHash());
    // The certificate carries the key.
    EXPECT_EQ(Identity::KeyHashOf(X509_get0_pubkey(again->certificate())), first->keyHash());

    std::optional<Identity> other = Identity::LoadOrCreate(TestPaths::NewFolder("other"), error);
    ASSERT_TRUE(other) << error;
    EXPECT_NE(other->keyHash(), first->keyHash());
}

TEST(Identity, AKeyFileThatIsNotPrivateOrNotAKeyIsRefusedAndLeftAsItIs) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> spoil;
        const char* says;
    };
    const Case cases[] = {
        {"group-readable", [](const std::string& path) { chmod(path.c_str(), 0640); },
         "can be read by other users; Zingwell will not use it. Make it private (chmod 600 "},
        {"writable by others", [](const std::string& path) { chmod(path.c_str(), 0602); },
         "can be changed by other users"},
        {"a link",
         [](const std::string& path) {
             rename(path.c_str(), (path + ".real").c_str());
             symlink((path + ".real").c_str(), path.c_str());
         },
         "is a symbolic link"},
        {"garbage", [](const std::string& path) { WriteFile(path, "not a key\n"); },
         "is not a key Zingwell can read; it is left as it is"},
        {"a folder",
         [](const std::string& path) {
             unlink(path.c_str());
             mkdir(path.c_str(), 0700);
         },
         "is not a file of this user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = TestPaths::NewFolder(c.name);
        std::string error;
        ASSERT_TRUE(Identity::LoadOrCreate(folder, error)) << error;
        const std::string path = folder + "/identity.pem";
        c.spoil(path);
        struct stat before {};
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        const std::string contents = S_ISREG(before.st_mode) ? ReadFile(path) : "";

        EXPECT_FALSE(Identity::LoadOrCreate(folder, error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        struct stat after {};
        ASSERT_EQ(lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        if (S_ISREG(after.st_mode)) {
            EXPECT_EQ(ReadFile(path), contents);
        }
    }
}

TEST(TrustStore, KeepsItsComputersPrivateAndLinesItDoesNotKnow) {
    const std::string folder = TestPaths::NewFolder("trust") + "/zingwell";
    const std::string hashA(64, 'a');
    const std::string hashB(64, 'b');
    std::string error;
    {
        TrustStore store(folder);
        ASSERT_TRUE(store.Reload(error)) << error;  // no file yet
        EXPECT_TRUE(store.All().empty());
        ASSERT_TRUE(store.Put({TrustEntry::KeyForHash(hashA), TrustEntry::State::Paired, "10.0.0.2",
                               "Ann's laptop\t%"}));
    }
    const std::string path = folder + "/computers";
    EXPECT_EQ(ModeOf(path), 0600u);
    // A later version's lines, a state we do not know and a broken line stay as they are.
    const std::string foreign = "k:" + hashB +
                                "\ttrusted-later\t10.0.0.3\tBob\n"
                                "not a line of ours\n"
                                "k:" +
                                hashB + "\tpaired\t10.0.0.999\tBob\n";
    WriteFile(path, ReadFile(path) + foreign);

    TrustStore store(folder);
    ASSERT_TRUE(store.Reload(error)) << error;
    ASSERT_EQ(store.All().size(), 1u);
    const std::optional<TrustEntry> ann = store.Find(TrustEntry::KeyForHash(hashA));
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->name, "Ann's laptop\t%");
    EXPECT_TRUE(store.HasPaired());
    EXPECT_EQ(store.PairedForAddress("10.0.0.2"), ann);
    EXPECT_FALSE(store.PairedForAddress("10.0.0.3"));
    EXPECT_FALSE(store.Find(TrustEntry::KeyForHash(hashB)));

    ASSERT_TRUE(store.Put(
        {TrustEntry::KeyForAddress("10.0.0.9"), TrustEntry::State::Allowed, "10.0.0.9", ""}));
    ASSERT_TRUE(
        store.Put({TrustEntry::KeyForHash(hashA), TrustEntry::State::Blocked, "10.0.0.4", "Ann"}));
    EXPECT_FALSE(store.Put({"k:short", TrustEntry::State::Paired, "", ""}));
    EXPECT_FALSE(store.PairedForAddress("10.0.0.2"));
    EXPECT_TRUE(store.Forget(TrustEntry::KeyForAddress("10.0.0.9")));
    EXPECT_EQ(ReadFile(path),
              "ZINGWELL-COMPUTERS 1\nk:" + hashA + "\tblocked\t10.0.0.4\tAnn\n" + foreign);
    EXPECT_EQ(ModeOf(path), 0600u);

    // A file of a later version is read as nothing and never rewritten.
    WriteFile(path, "ZINGWELL-COMPUTERS 2\nwhatever\n");
    EXPECT_FALSE(store.Reload(error));
    EXPECT_FALSE(store.Put({TrustEntry::KeyForHash(hashB), TrustEntry::State::Paired, "", ""}));
    EXPECT_EQ(ReadFile(path), "ZINGWELL-COMPUTERS 2\nwhatever\n");
}

}  // namespace
