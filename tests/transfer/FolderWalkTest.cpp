// A dropped folder listed for sending: only its regular files and folders, in a stable order,
// with links, special files and unreadable entries listed as skipped.
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>

#include "support/Files.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/FolderWalk.h"

namespace {

using Skip = FolderWalk::Skip;

// A folder named "drop" of the test's own; readable by others, for the walk as another user.
std::string NewDrop() {
    const std::string drop = TestPaths::NewFolder("walk") + "/drop";
    std::filesystem::create_directory(drop);
    chmod(std::filesystem::path(drop).parent_path().c_str(), 0755);
    return drop;
}

std::vector<std::string> Paths(const std::vector<FolderWalk::File>& files) {
    std::vector<std::string> paths;
    for (const auto& file : files) {
        paths.push_back(file.path);
    }
    return paths;
}

std::vector<std::pair<std::string, Skip>> Skips(const FolderWalk::Listing& listing) {
    std::vector<std::pair<std::string, Skip>> skips;
    for (const auto& skipped : listing.skipped) {
        skips.emplace_back(skipped.path, skipped.why);
    }
    return skips;
}

TEST(FolderWalk, ListsRegularFilesAndFoldersAndSkipsTheRest) {
    const std::string drop = NewDrop();
    WriteFile(drop + "/b.txt", "bbb");
    WriteFile(drop + "/a.txt", "a");
    std::filesystem::create_directories(drop + "/empty");
    std::filesystem::create_directories(drop + "/c/sub");
    WriteFile(drop + "/c/sub/deep.txt", "deep");
    WriteFile(drop + "/bad\\name", "x");
    ASSERT_EQ(symlink("a.txt", (drop + "/link").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (drop + "/linkdir").c_str()), 0);
    ASSERT_EQ(mkfifo((drop + "/fifo").c_str(), 0600), 0);
    // 33 levels, the folder's own name the first: the last is left out.
    std::string deep = drop + "/z";
    for (int i = 2; i < 33; ++i) {
        deep += "/z";
    }
    std::filesystem::create_directories(deep);

    const FolderWalk::Listing listing = FolderWalk::Walk(drop + "/");
    ASSERT_TRUE(listing.ok);
    EXPECT_TRUE(listing.complete);
    EXPECT_EQ(listing.root, "drop");
    EXPECT_EQ(Paths(listing.files),
              (std::vector<std::string>{"drop/a.txt", "drop/b.txt", "drop/c/sub/deep.txt"}));
    EXPECT_EQ(listing.totalBytes, 8u);
    std::vector<std::string> folders{"drop/c", "drop/c/sub", "drop/empty"};
    std::string z = "drop";
    for (int i = 2; i < 33; ++i) {
        folders.push_back(z += "/z");
    }
    EXPECT_EQ(listing.folders, folders);
    EXPECT_EQ(Skips(listing), (std::vector<std::pair<std::string, Skip>>{
                                  {"drop/bad\\name", Skip::Name},
                                  {"drop/fifo", Skip::Special},
                                  {"drop/link", Skip::Link},
                                  {"drop/linkdir", Skip::Link},
                                  {z + "/z", Skip::TooDeep},
                              }));

    // A listed file opens again below the folder; a link put in its way does not.
    const int fd = FolderWalk::Open(drop, "drop/c/sub/deep.txt");
    EXPECT_GE(fd, 0);
    close(fd);
    std::filesystem::rename(drop + "/c", drop + "/c2");
    ASSERT_EQ(symlink("c2", (drop + "/c").c_str()), 0);
    EXPECT_EQ(FolderWalk::Open(drop, "drop/c/sub/deep.txt"), -1);
    EXPECT_EQ(FolderWalk::Open(drop, "drop/link"), -1);
    std::filesystem::create_directory(drop + "/Files2Send.txt");
    EXPECT_FALSE(FolderWalk::Walk(drop + "/Files2Send.txt").ok);
}

TEST(FolderWalk, SkipsWhatItCannotRead) {
    const std::string drop = NewDrop();
    WriteFile(drop + "/readable.txt", "yes");
    WriteFile(drop + "/secret.txt", "no");
    std::filesystem::create_directories(drop + "/closed/inside");
    chmod((drop + "/secret.txt").c_str(), 0);
    chmod((drop + "/closed").c_str(), 0);
    // Root reads everything: the walk runs with a file system user id that has no rights
    // over these files (setfsuid drops the file capabilities of this thread with it).
    const bool root = geteuid() == 0;
    if (root) {
        chmod(TestPaths::Root().c_str(), 0711);
        setfsuid(65534);
        if (setfsuid(static_cast<uid_t>(-1)) != 65534) {
            ZW_SKIP_FOR_LACK_OF("a user id to drop to (setfsuid) for an unreadable file");
        }
    }
    const FolderWalk::Listing listing = FolderWalk::Walk(drop);
    if (root) {
        setfsuid(0);
    }
    EXPECT_EQ(Paths(listing.files), std::vector<std::string>{"drop/readable.txt"});
    EXPECT_TRUE(listing.folders.empty());
    EXPECT_EQ(Skips(listing), (std::vector<std::pair<std::string, Skip>>{
                                  {"drop/closed", Skip::Unreadable},
                                  {"drop/secret.txt", Skip::Unreadable},
                              }));
}

}  // namespace
