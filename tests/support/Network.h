#pragma once

#include <sys/types.h>

#include <string>

// Runs a shell command; returns its exit status (-1 when it could not run).
int RunShell(const std::string& command);

// Moves this test process into a network namespace of its own with loopback up and a
// multicast route on it. Needs root (real, or of a user namespace); false otherwise.
bool EnterOwnNetworkNamespace();

// A TCP socket listening on 127.0.0.1 at a port the system chooses; returns the fd.
int ListenOnLoopback(int& port);
// A TCP connection to 127.0.0.1:port; -1 on failure.
int ConnectToLoopback(int port);
// A TCP connection to 127.0.0.1:port from the local address `source` (any 127.x.y.z is a
// different peer address on loopback); -1 on failure.
int ConnectFrom(const std::string& source, int port);
// A TCP connection made inside the named namespace (/run/netns) to address:port; the socket
// stays in that namespace whatever thread uses it. -1 on failure.
int ConnectInNamespace(const std::string& netns, const std::string& address, int port);
// Whether the process's socket table ("tcp", "udp"; pid 0: this process's) lists a socket
// whose local port, or remote one, is `port`, in the state given (as "0A"; nullptr: any).
bool ListsSocket(pid_t pid, const char* table, int port, bool remote = false,
                 const char* state = nullptr);
// All of the bytes, or false.
bool SendAll(int fd, const std::string& data);
// Closes with a reset instead of an orderly end, as a crashed or killed sender does.
void CloseWithReset(int fd);
