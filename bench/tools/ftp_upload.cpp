// Uploads one file with Zingwell's FTP client, as the upload job does (plain logon, image
// type, passive STOR), but to any port: for benchmarks and checks by hand.
//   ftp_upload HOST PORT USER SECRET LOCAL-FILE REMOTE-PATH [active]
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp/BytesSendInterface.h"
#include "ftp/FTPLink.h"
#include "net/StartNetwork.h"

namespace {

// Checks that the progress reports rise to the whole size, as the drop window needs.
class ProgressCheck : public BytesSendInterface {
public:
    void BytesSent(int64_t sent, int64_t total) override {
        rising = rising && sent > last && sent <= total;
        last = sent;
    }
    int64_t last = 0;
    bool rising = true;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && !(argc == 8 && strcmp(argv[7], "active") == 0)) {
        fprintf(stderr, "usage: %s HOST PORT USER SECRET LOCAL-FILE REMOTE-PATH [active]\n",
                argv[0]);
        return 2;
    }
    StartNetwork();
    struct stat info {};
    if (stat(argv[5], &info) != 0) {
        perror(argv[5]);
        return 1;
    }
    FTPLink link;
    ProgressCheck progress;
    auto logOn = [&] {
        progress.last = 0;  // a new logon starts the file again
        return link.Logon(argv[1], atoi(argv[2]), argv[3], argv[4], "", "", "", "", 0, 0);
    };
    if (!logOn()) {
        fprintf(stderr, "logon failed: %s\n", link.replyText().c_str());
        return 1;
    }
    const bool passive = argc == 7;
    // As the upload job stores a file: once more on a new logon when the server fell out
    // of step or hung up.
    if (!link.StoreFile(&progress, info.st_size, argv[6], argv[5], passive, logOn)) {
        fprintf(stderr, "upload failed: %s\n", link.replyText().c_str());
        link.Quit();
        return 1;
    }
    link.Quit();
    if (progress.last != info.st_size || !progress.rising) {
        fprintf(stderr, "progress ended at %lld of %lld\n", static_cast<long long>(progress.last),
                static_cast<long long>(info.st_size));
        return 1;
    }
    return 0;
}
