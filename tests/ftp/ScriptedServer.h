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
