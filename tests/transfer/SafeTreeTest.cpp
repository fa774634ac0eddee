// A batch made below a temporary receive folder: every hostile path is refused with nothing
// written outside the folder, nothing there replaced, and the batch's other files whole.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>

#include "support/Files.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/SafeTree.h"

namespace {

using R = SafeTree::Result;

// Every entry below `folder`: "name/" for a folder, "name@" for a link, "name" for a file.
std::vector<std::string> Tree(const std::string& folder) {
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        std::string path = entry.path().string().substr(folder.size() + 1);
        if (entry.is_symlink()) {
            path += "@";
        } else if (entry.is_directory()) {
            path += "/";
        }
        entries.push_back(path);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

class SafeTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = TestPaths::NewFolder("receive");
        outside = TestPaths::NewFolder("outside");
        WriteFile(outside + "/keep.txt", "outside");
        fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { close(fd); }

    R Store(SafeTree& tree, const std::string& path, const std::string& body,
            std::string* stored = nullptr) {
        if (const R opened = tree.OpenFile(path, body.size()); opened != R::Ok) {
            return opened;
        }
        EXPECT_TRUE(tree.Write(body.data(), body.size()));
        std::string name;
        const R published = tree.Publish(name);
        if (stored != nullptr) {
            *stored = name;
        }
        return published;
    }

    std::string folder;
    std::string outside;
    int fd = -1;
};

TEST_F(SafeTreeTest, RefusesEveryPathThatWouldLeaveTheFolderOrGoThroughAnother) {
    // A folder of the dropped folder's name is there already: the batch gets one of its own.
    std::filesystem::create_directory(folder + "/r");
    WriteFile(folder + "/r/ok.txt", "older");
    SafeTree tree(fd);
    ASSERT_EQ(tree.Begin({40, 40, 1 << 20, "r"}), R::Ok);
    EXPECT_EQ(tree.root(), "r (2)");
    std::string stored;
    ASSERT_EQ(Store(tree, "r/ok.txt", "first", &stored), R::Ok);
    EXPECT_EQ(stored, "r (2)/ok.txt");
    ASSERT_EQ(tree.MakeFolder("r/empty"), R::Ok);
    ASSERT_EQ(Store(tree, "r/a", "a file"), R::Ok);
    ASSERT_EQ(Store(tree, "r/sub/Readme.txt", "deep", &stored), R::Ok);
    EXPECT_EQ(stored, "r (2)/sub/Readme.txt");
    // Planted by someone else after the batch made its folder: a link out, a folder.
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/r (2)/l").c_str()), 0);
    ASSERT_EQ(symlink("../../outside/keep.txt", (folder + "/r (2)/m").c_str()), 0);
    ASSERT_EQ(mkdir((folder + "/r (2)/planted").c_str(), 0777), 0);

    std::string deep = "r";
    for (int i = 0; i < 31; ++i) {
        deep += "/d";
    }
    const struct {
        std::string path;
        bool folder;
        R result;
    } rows[] = {
        {"../escape", false, R::BadPath},
        {"r/../../escape", false, R::BadPath},
        {"/tmp/escape", false, R::BadPath},
        {"r/x\\..\\..\\escape", false, R::BadPath},
        {deep + "/f", false, R::BadPath},  // 33 levels
        {"other/x", false, R::OutsideRoot},
        {"r/a/b", false, R::ThroughFile},
        {"r/a/b", true, R::ThroughFile},
        {"r/ok.txt", false, R::Taken},
        {"r/OK.TXT", false, R::CaseTwin},
        {"r/SUB/x", false, R::CaseTwin},
        {"r/sub/README.txt", false, R::CaseTwin},
        {"r/l/escape", false, R::Planted},
        {"r/l", true, R::Planted},
        {"r/planted/x", false, R::Planted},
        {"r/.zingwell-incoming.tmp-0000000000000000", false, R::BadPath},
    };
    for (const auto& row : rows) {
        const R result = row.folder ? tree.MakeFolder(row.path) : Store(tree, row.path, "bad");
        EXPECT_EQ(result, row.result) << row.path;
    }
    // 32 levels are fine; a file over a planted link is stored beside it, the link untouched.
    EXPECT_EQ(Store(tree, deep, "deepest"), R::Ok);
    EXPECT_EQ(Store(tree, "r/m", "beside the link", &stored), R::Ok);
    EXPECT_EQ(stored, "r (2)/m (2)");

    EXPECT_EQ(Tree(outside), std::vector<std::string>{"keep.txt"});
    EXPECT_EQ(ReadFile(outside + "/keep.txt"), "outside");
    EXPECT_EQ(ReadFile(folder + "/r/ok.txt"), "older");
    EXPECT_EQ(ReadFile(folder + "/r (2)/ok.txt"), "first");
    EXPECT_EQ(ReadFile(folder + "/r (2)/a"), "a file");
    EXPECT_EQ(ReadFile(folder + "/r (2)/sub/Readme.txt"), "deep");
    EXPECT_EQ(ReadFile(folder + "/r (2)/" + deep.substr(2)), "deepest");
    const std::vector<std::string> top = Tree(folder);
    EXPECT_TRUE(std::none_of(top.begin(), top.end(), [](const std::string& path) {
        return path.find("escape") != std::string::npos || path.find("other") != std::string::npos;
    }));
    EXPECT_EQ(std::count_if(top.begin(), top.end(),
                            [](const std::string& path) { return path.back() != '/'; }),
              8);  // r/ok.txt; ok, a, Readme, deepest, l@, m@, m (2): no temporaries
}

TEST_F(SafeTreeTest, KeepsToTheBatchAndNeverReplacesALooseFile) {
    WriteFile(folder + "/same.txt", "older");
    SafeTree tree(fd);
    EXPECT_EQ(tree.MakeFolder("x"), R::NoBatch);
    EXPECT_EQ(tree.Begin({100001, 0, 0, ""}), R::TooMany);
    EXPECT_EQ(tree.Begin({1, 0, uint64_t{1} << 62, ""}), R::NoSpace);
    EXPECT_EQ(tree.Begin({1, 0, 0, "Files2Send.txt"}), R::BadPath);
    ASSERT_EQ(tree.Begin({2, 0, 10, ""}), R::Ok);
    EXPECT_EQ(tree.MakeFolder("x"), R::OutsideRoot);
    EXPECT_EQ(Store(tree, "x/y", "a"), R::OutsideRoot);
    EXPECT_EQ(Store(tree, "zingwelllog.txt", "a"), R::BadPath);
    std::string stored;
    EXPECT_EQ(Store(tree, "same.txt", "newer", &stored), R::Ok);
    EXPECT_EQ(stored, "same (2).txt");
    EXPECT_EQ(Store(tree, "more.txt", "123456"), R::OverBatch);  // 11 bytes of 10
    // A file cut short is not published; a body longer than announced is not written.
    ASSERT_EQ(tree.OpenFile("short.txt", 4), R::Ok);
    EXPECT_FALSE(tree.Write("12345", 5));
    EXPECT_EQ(tree.Publish(stored), R::Failed);
    EXPECT_EQ(Store(tree, "third.txt", "x"), R::OverBatch);  // the third file of two
    EXPECT_EQ(Tree(folder), (std::vector<std::string>{"same (2).txt", "same.txt"}));
    EXPECT_EQ(ReadFile(folder + "/same.txt"), "older");
}

TEST(SafeTreeNames, NumberTheNameBeforeItsExtensionWithinTheLimit) {
    const std::string longName = std::string(252, 'x') + "\xC3\xA9" + ".txt";
    const struct {
        std::string name;
        unsigned n;
        std::string numbered;
        bool folder = false;
    } rows[] = {
        {"same.txt", 2, "same (2).txt"},
        {"a.tar.gz", 3, "a.tar (3).gz"},
        {"noext", 2, "noext (2)"},
        {".profile", 2, ".profile (2)"},
        {"dot.", 10, "dot. (10)"},
        {"Photos.2024", 2, "Photos.2024 (2)", true},
        {longName, 2, std::string(247, 'x') + " (2).txt"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SafeTree::NumberedName(row.name, row.n, row.folder), row.numbered) << row.name;
    }
}

TEST_F(SafeTreeTest, RefusesABatchLargerThanTheFreeSpaceBeforeWritingAnything) {
    // A small file system of its own as the receive folder, in a mount namespace of this
    // test process (still single-threaded here, as unsharing it requires).
    close(fd);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("zingwell-test", folder.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0) {
        fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ZW_SKIP_FOR_LACK_OF("root for a mount namespace and a tmpfs");
    }
    fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    SafeTree tree(fd, {.spareBytes = 256 << 10, .bytesPerEntry = 4096});
    EXPECT_EQ(tree.Begin({1, 0, 4 << 20, "big"}), R::NoSpace);
    EXPECT_EQ(tree.Begin({200, 0, 3 << 20, "big"}), R::NoSpace);  // the entries' blocks
    EXPECT_TRUE(Tree(folder).empty());
    ASSERT_EQ(tree.Begin({1, 0, 3 << 20, "big"}), R::Ok);
    EXPECT_EQ(Store(tree, "big/fits.bin", RandomBytes(3 << 20, 1)), R::Ok);
    EXPECT_EQ(Tree(folder), (std::vector<std::string>{"big/", "big/fits.bin"}));
}

}  // namespace
