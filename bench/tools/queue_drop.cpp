// Times a drop of many paths on the send queue, one Add per path against one AddAll, in a
// temporary home that is removed afterwards.
//   queue_drop [PATHS]   (10000 by default)
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "transfer/FileStorage.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? strtol(argv[1], nullptr, 10) : 10000;
    if (count <= 0) {
        fprintf(stderr, "usage: %s [PATHS]\n", argv[0]);
        return 2;
    }
    char pattern[] = "/tmp/zw-queue-drop-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string root = pattern;
    std::filesystem::create_directories(root + "/home");
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("ZINGWELL_SYSTEM_DIR", (root + "/system").c_str(), 1);

    std::vector<std::string> paths;
    for (long i = 0; i < count; ++i) {
        paths.push_back("/home/user/Pictures/holiday/picture-" + std::to_string(i) + ".jpg");
    }
    double oneByOne = 0;
    double whole = 0;
    size_t queued[2] = {};
    {
        FileStorage queue;
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& path : paths) {
            queue.Add(path);
        }
        oneByOne = Seconds(start);
        queued[0] = queue.Count();
        std::filesystem::remove(queue.FilePath());
    }
    {
        FileStorage queue;
        const auto start = std::chrono::steady_clock::now();
        queue.AddAll(paths);
        whole = Seconds(start);
        queued[1] = queue.Count();
    }
    std::filesystem::remove_all(root);
    printf("%ld paths: one Add each %.3f s, one AddAll %.3f s\n", count, oneByOne, whole);
    return queued[0] == paths.size() && queued[1] == paths.size() ? 0 : 1;
}
