#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "support/Network.h"

namespace {

bool WaitReadable(int fd, int limitMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, limitMs) > 0;
}

}  // namespace

ScriptedServer::ScriptedServer(Script script, int sessions, int port) {
    if (port == 0) {
        listener_ = ListenOnLoopback(port_);
    } else {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 16) != 0) {
            close(listener_);
            listener_ = -1;
        }
        port_ = listener_ >= 0 ? port : 0;
    }
    thread_ = std::thread(&ScriptedServer::Serve, this, std::move(script), sessions);
}

ScriptedServer::~ScriptedServer() {
    Finish();
    if (listener_ >= 0) {
        close(listener_);
    }
}

void ScriptedServer::Finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool ScriptedServer::PendingConnection() const {
    return listener_ >= 0 && WaitReadable(listener_, 0);
}

std::vector<std::string> ScriptedServer::Lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

std::vector<std::string> ScriptedServer::Overtaken() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return overtaken_;
}

int ScriptedServer::Accepted() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return accepted_;
}

void ScriptedServer::Serve(Script script, int sessions) {
    for (int i = 0; i < sessions && listener_ >= 0; ++i) {
        if (!WaitReadable(listener_, 10000)) {
            return;
        }
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ++accepted_;
        }
        Session session(*this, fd);
        script(session);
        close(fd);
    }
}

ScriptedServer::Session::~Session() {
    if (dataListener_ >= 0) {
        close(dataListener_);
    }
}

void ScriptedServer::Session::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void ScriptedServer::Session::Reply(const std::string& line) {
    if (ClientSentMore()) {
        std::lock_guard<std::mutex> guard(server_.mutex_);
        server_.overtaken_.push_back(line);
    }
    Send(line + "\r\n");
}

bool ScriptedServer::Session::ClientSentMore() {
    char byte;
    return !buffered_.empty() || recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

std::string ScriptedServer::Session::Line() {
    for (;;) {
        size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::lock_guard<std::mutex> guard(server_.mutex_);
            server_.lines_.push_back(line);
            return line;
        }
        char chunk[4096];
        if (!WaitReadable(fd_, 10000)) {
            return "<closed>";
        }
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return "<closed>";
        }
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

bool ScriptedServer::Session::WaitClosed(int limitMs) {
    char chunk[4096];
    for (;;) {
        if (!WaitReadable(fd_, limitMs)) {
            return false;
        }
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return true;
        }
    }
}

int ScriptedServer::Session::ListenForData() {
    int port = 0;
    if (dataListener_ >= 0) {
        close(dataListener_);
    }
    dataListener_ = ListenOnLoopback(port);
    return port;
}

std::string ScriptedServer::Session::PassiveReply(int port, const std::string& address) {
    std::string commas = address;
    for (char& c : commas) {
        c = c == '.' ? ',' : c;
    }
    return "227 Entering Passive Mode (" + commas + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256) + ")";
}

int ScriptedServer::Session::AcceptData(int limitMs) {
    if (dataListener_ < 0 || !WaitReadable(dataListener_, limitMs)) {
        return -1;
    }
    int fd = accept(dataListener_, nullptr, nullptr);
    close(dataListener_);
    dataListener_ = -1;
    return fd;
}

int ScriptedServer::Session::ConnectData(const std::string& portArgument) {
    int h1, h2, h3, h4, p1, p2;
    if (sscanf(portArgument.c_str(), "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
        return -1;
    }
    return ConnectToLoopback(p1 * 256 + p2);
}

std::string ScriptedServer::Session::ReadAll(int fd, int limitMs) {
    std::string all;
    char chunk[65536];
    while (WaitReadable(fd, limitMs)) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        all.append(chunk, static_cast<size_t>(n));
    }
    return all;
}

ScriptedServer::Script ScriptedServer::Uploads(UploadRun& run) {
    // A pause before the real answer: a client out of step would send its next command in it.
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    return [&run, pause](Session& s) {
        s.Reply("220 ready");
        for (std::string line = s.Line(); line != "<closed>" && line != "QUIT"; line = s.Line()) {
            if (line.rfind("USER ", 0) == 0) {
                s.Reply("331 secret please");
            } else if (line.rfind("PASS ", 0) == 0) {
                s.Reply("230 in");
            } else if (line == "TYPE I") {
                const int n = ++run.types;
                if (run.Hit(Fault::HangUpAtType, n)) {
                    return s.Reply("421 Service not available, closing control connection.");
                }
                if (run.Hit(Fault::PreliminaryBeforeTypeAnswer, n)) {
                    s.Reply("120 in a moment");
                    pause();
                }
                if (run.Hit(Fault::EmptyLineBeforeAnswer, n)) {
                    s.Reply("");
                    pause();
                }
                s.Reply("200 binary");
            } else if (line == "PASV") {
                const int n = ++run.passives;
                const int port = s.ListenForData();
                if (run.Hit(Fault::PreliminaryBeforePasvAnswer, n)) {
                    s.Reply("125 opening soon");
                    pause();
                }
                if (run.Hit(Fault::StrayTextBeforeAnswer, n)) {
                    s.Reply("hello there");
                    pause();
                }
                s.Reply(Session::PassiveReply(port));
            } else if (line.rfind("STOR ", 0) == 0) {
                const int n = ++run.stores;
                if (run.Hit(Fault::HangUpAtStore, n)) {
                    return s.Reply("421 Too many users, closing control connection.");
                }
                const int data = s.AcceptData();
                s.Reply("150 go");
                if (run.Hit(Fault::SecondPreliminary, n)) {
                    pause();
                    s.Reply("125 still going");
                }
                const std::string contents = Session::ReadAll(data);
                close(data);
                if (run.Hit(Fault::RestartMarker, n)) {
                    s.Reply("110 MARK 250000 = 250000");
                    pause();
                }
                if (run.Hit(Fault::HangUpAfterData, n)) {
                    return s.Reply("421 Shutting down, closing control connection.");
                }
                run.stored.push_back(line.substr(5) + "=" + contents);
                s.Reply(n == 1 && run.fault == Fault::StrayReplyWithAnAnswer
                            ? "226 stored\r\n250 said twice"
                            : "226 stored");
                if (n == 1 && run.fault == Fault::ClosedAfterFirstFile) {
                    return;
                }
            } else if (line == "NOOP" && run.Hit(Fault::HangUpAtNoop, ++run.noops)) {
                return s.Reply("421 Timeout, closing control connection.");
            } else {
                // NOOP too: a server without it is in step all the same.
                s.Reply("502 not here");
            }
        }
    };
}
