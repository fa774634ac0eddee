#include "net/GetMyIp.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool IsLoopback(in_addr address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

// The first IPv4 address of an interface that is up and not a loopback.
bool FirstInterfaceAddress(in_addr& found) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool ok = false;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        in_addr address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (IsLoopback(address))
            continue;
        found = address;
        ok = true;
        break;
    }
    freeifaddrs(list);
    return ok;
}

}  // namespace

bool GetMyIp(char* text, int capacity) {
    if (text == nullptr || capacity < 16) {
        return false;
    }
    char host[128] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* answer = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr) {
        return false;
    }
    in_addr address = reinterpret_cast<sockaddr_in*>(answer->ai_addr)->sin_addr;
    freeaddrinfo(answer);
    // Debian maps the host name to 127.0.1.1; announcing that would send a buddy's files
    // back to itself.
    if (IsLoopback(address)) {
        in_addr better{};
        if (FirstInterfaceAddress(better)) {
            address = better;
        }
    }
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
    snprintf(text, 16, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return true;
}
