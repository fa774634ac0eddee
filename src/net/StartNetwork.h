#pragma once

// Prepares the process for networking; true when it may use sockets. Every user of sockets
// calls it first. Its one job on Linux: a write to a connection the peer has closed must
// fail with an error, not end the process with SIGPIPE.
bool StartNetwork();
