#pragma once

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
