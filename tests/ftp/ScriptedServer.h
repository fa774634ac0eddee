#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A control-connection server on 127.0.0.1 that plays a script written by the test, for
// what no real server sends. It serves `sessions` connections one after another on its own
// thread; every wait of its own gives up after a few seconds, so a test cannot hang on it.
class ScriptedServer {
public:
    class Session {
    public:
        Session(ScriptedServer& server, int fd) : server_(server), fd_(fd) {}
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;
        ~Session();
        // Sends bytes as they are.
        void Send(const std::string& bytes);
        // Sends a line and CR LF. A reply the client did not wait for (it had already sent
        // more) is noted.
        void Reply(const std::string& line);
        // The next line the client sent, without its line end; "<closed>" when the client
        // closed the connection or sent nothing for a while.
        std::string Line();
        // Waits until the client closes the connection; false if it does not within limitMs.
        bool WaitClosed(int limitMs = 10000);

        // A passive data listener on loopback; returns its port.
        int ListenForData();
        // The 227 reply naming that address and port; with no port, a new listener's.
        static std::string PassiveReply(int port, const std::string& address = "127.0.0.1");
        std::string PassiveReply() { return PassiveReply(ListenForData()); }
        // Accepts on that listener; the data connection's fd or -1.
        int AcceptData(int limitMs = 10000);
        // Connects to the client's PORT address; the fd or -1.
        int ConnectData(const std::string& portArgument);
        // Everything until the other side closes; stops after limitMs without data.
        static std::string ReadAll(int fd, int limitMs = 10000);
        int fd() const { return fd_; }

    private:
        bool ClientSentMore();

        ScriptedServer& server_;
        int fd_;
        int dataListener_ = -1;
        std::string buffered_;
    };

    using Script = std::function<void(Session&)>;

    // What the upload server does wrong, and where.
    enum class Fault {
        None,
        PreliminaryBeforeTypeAnswer,  // "120" before the 200 to TYPE I
        PreliminaryBeforePasvAnswer,  // "125" before the 227
        EmptyLineBeforeAnswer,        // an empty line before the 200 to TYPE I
        StrayTextBeforeAnswer,        // a line without a code before the 227
        SecondPreliminary,            // 150, then 125, then the data and 226
        RestartMarker,                // a "110 MARK" between the data and the 226
        HangUpAtType,                 // 421 to TYPE I, and the connection closed
        HangUpAtStore,                // 421 to STOR
        HangUpAfterData,              // the data read whole, then 421 instead of 226
        ClosedAfterFirstFile,         // the connection closed after the first file's 226
        StrayReplyWithAnAnswer,       // a reply nobody asked for, in one write with the first 226
        HangUpAtNoop,                 // 421 to the NOOP after the middle file's 226
    };
    // The upload server's side of a whole job, over all its sessions.
    struct UploadRun {
        Fault fault = Fault::None;
        int times = 1;  // how many attempts at the middle file meet the fault
        int types = 0;
        int passives = 0;
        int stores = 0;
        int noops = 0;
        std::vector<std::string> stored;  // "path=contents", for every file answered with 226

        // The n-th command of its kind belongs to the n-th attempt at a file: the middle
        // file's first attempt is the second.
        bool Hit(Fault f, int n) const { return fault == f && n >= 2 && n < 2 + times; }
    };
    // A willing server that asks for a secret, takes every upload and ends at QUIT or when
    // the client goes, meeting the run's fault on the way.
    static Script Uploads(UploadRun& run);

    // port 0: a port the system chooses.
    explicit ScriptedServer(Script script, int sessions = 1, int port = 0);
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;
    ~ScriptedServer();

    int port() const { return port_; }
    // Every line received, from all sessions, in order.
    std::vector<std::string> Lines() const;
    // The replies before which the client had already sent its next bytes: a client that
    // stays in step never sends a command before the answer to the last one.
    std::vector<std::string> Overtaken() const;
    // How many connections were accepted.
    int Accepted() const;
    // True when a client is waiting to be accepted.
    bool PendingConnection() const;
    // Waits until the script of every session has run.
    void Finish();

private:
    void Serve(Script script, int sessions);

    int listener_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> overtaken_;
    int accepted_ = 0;
    std::thread thread_;
};
