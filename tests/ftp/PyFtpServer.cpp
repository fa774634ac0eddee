#include "PyFtpServer.h"

#include <cstdlib>

namespace {

const char* const kScript = R"(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.basicConfig(level=logging.CRITICAL)
root, port = sys.argv[1], int(sys.argv[2])
users = DummyAuthorizer()
users.add_user("user", "secret", root, perm="elradfmw")
users.add_user("reader", "secret", root, perm="elr")
FTPHandler.authorizer = users
FTPHandler.banner = "pyftpdlib ready"
FTPHandler.auth_failed_timeout = 0.1
server = FTPServer(("127.0.0.1", port), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";

}  // namespace

PyFtpServer::PyFtpServer(const std::string& root, int port) {
    if (!process_.Start({"/usr/bin/python3", "-c", kScript, root, std::to_string(port)},
                        ChildOptions::Piped())) {
        return;
    }
    const std::string line = process_.ReadLine();
    port_ = line.empty() ? 0 : std::stoi(line);
}

bool PyFtpServer::Installed() {
    return std::system("/usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1") == 0;
}
