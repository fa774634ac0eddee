#include "app/ZingwellCopy.h"

#include <signal.h>
#include <sys/stat.h>

#include "support/Files.h"
#include "support/Network.h"
#include "support/TestPaths.h"

ZingwellCopy::ZingwellCopy(const std::string& name) : folder_(TestPaths::NewFolder(name)) {
    for (const char* sub : {"/home", "/config", "/config/zingwell", "/system", "/run"}) {
        mkdir((folder_ + sub).c_str(), 0700);
    }
}

std::string ZingwellCopy::Log() const {
    return ReadFile(ReceiveFolder() + "/zingwelllog.txt");
}

bool ZingwellCopy::LogShows(const std::string& text) const {
    return Soon([&] { return Log().find(text) != std::string::npos; });
}

bool ZingwellCopy::LogEndsCleanly() const {
    const std::string log = Log();
    const std::string last = "Shutting down\n";
    return log.size() >= last.size() &&
           log.compare(log.size() - last.size(), last.size(), last) == 0;
}

std::string ZingwellCopy::Output() const {
    return ReadFile(folder_ + "/output.txt");
}

void ZingwellCopy::StoreSettings(const std::vector<std::string>& values) {
    std::string text = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n";
    for (const std::string& value : values) {
        text += value + "\n";
    }
    WriteFile(UserRegistry(), text);
    chmod(UserRegistry().c_str(), 0600);
}

void ZingwellCopy::StoreMode(int automatic, int manual, int server, const std::string& buddy,
                             const std::vector<std::string>& more) {
    auto text = [](const char* name, const std::string& value) {
        return std::string("\"") + name + "\"=\"" + value + "\"";
    };
    auto number = [](const char* name, int value) {
        return std::string("\"") + name + "\"=dword:0000000" + std::to_string(value);
    };
    std::vector<std::string> values = {
        text("servaddr", buddy),    text("clientport", "6677"), text("autoport", "6677"),
        text("serverport", "6677"), text("ftpip", ""),          text("target", ""),
        text("user", ""),           text("pass", ""),           number("useftp", 0),
        number("server", server),   number("auto", automatic),  number("manual", manual)};
    values.insert(values.end(), more.begin(), more.end());
    StoreSettings(values);
}

std::string ZingwellCopy::QueueText(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths) {
        text += path + "\r\n";
    }
    return text;
}

bool ZingwellCopy::Queues(const std::vector<std::string>& paths) const {
    return Soon([&] { return Queue() == QueueText(paths); });
}

void ZingwellCopy::LeaveInQueue(const std::vector<std::string>& paths) {
    mkdir(ReceiveFolder().c_str(), 0700);
    WriteFile(QueueFile(), QueueText(paths));
}

std::vector<std::string> ZingwellCopy::Environment(const std::vector<std::string>& env) const {
    std::vector<std::string> all = {"HOME=" + Home(), "XDG_CONFIG_HOME=" + folder_ + "/config",
                                    "ZINGWELL_SYSTEM_DIR=" + folder_ + "/system",
                                    "XDG_RUNTIME_DIR=" + folder_ + "/run",
                                    "QT_QPA_PLATFORM=offscreen"};
    all.insert(all.end(), env.begin(), env.end());
    return all;
}

bool ZingwellCopy::Start(const std::string& netns, const std::vector<std::string>& env,
                         const std::vector<std::string>& args) {
    ChildProcess::Options options;
    options.netns = netns;
    options.output = folder_ + "/output.txt";
    options.env = Environment(env);
    std::vector<std::string> argv = {ZINGWELL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return process_.Start(argv, options);
}

int ZingwellCopy::RunAgain(const std::vector<std::string>& args, const std::string& folder,
                           const std::string& netns, const std::vector<std::string>& env,
                           std::string* output) {
    static int runs = 0;
    ChildProcess::Options options;
    options.netns = netns;
    options.output = folder_ + "/again-" + std::to_string(runs++) + ".txt";
    options.env = Environment(env);
    // The arguments pass through the shell as they are, bytes and all.
    std::vector<std::string> argv = {"sh", "-c", "cd \"$0\" && exec \"$@\"", folder,
                                     ZINGWELL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess program;
    if (!program.Start(argv, options)) {
        return -1;
    }
    const int status = program.Wait(kPatience);
    if (output != nullptr) {
        *output = ReadFile(options.output);
    }
    return status;
}

bool ZingwellCopy::ListensOn(int port) const {
    return process_.pid() > 0 && ListsSocket(process_.pid(), "tcp", port, false, "0A");
}

bool ZingwellCopy::HasUdpPort(int port) const {
    return process_.pid() > 0 && ListsSocket(process_.pid(), "udp", port);
}

int ZingwellCopy::Stop() {
    return process_.Stop(SIGTERM, kPatience);
}
