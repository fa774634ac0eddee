#include "support/NamespacePair.h"

#include <unistd.h>

#include <sstream>
#include <utility>

#include "support/Files.h"
#include "support/Network.h"

NamespacePair::NamespacePair()
    : prefix_("zwn" + std::to_string(getpid())), a(prefix_ + "a"), b(prefix_ + "b") {
    RunShell(
        "for n in $(ip netns list | grep -oE '^zwn[0-9]+[ab]\\b'); do"
        "  p=${n#zwn}; kill -0 ${p%?} 2>/dev/null || ip netns del $n; done");
    std::string setup = "set -e; ip netns add " + a + "; ip netns add " + b + "; ip link add " + a +
                        " type veth peer name " + b;
    for (const auto& [ns, address] : {std::pair{a, kAddressA}, std::pair{b, kAddressB}}) {
        setup += "; ip link set " + ns + " netns " + ns + "; ip -n " + ns + " addr add " + address +
                 "/24 dev " + ns + "; ip -n " + ns + " link set lo up; ip -n " + ns + " link set " +
                 ns + " up; ip -n " + ns + " route add 224.0.0.0/4 dev " + ns;
    }
    ok_ = RunShell(setup + " 2>&1") == 0;
}

NamespacePair::~NamespacePair() {
    RunShell("ip netns del " + a + " 2>/dev/null; ip netns del " + b +
             " 2>/dev/null; ip link del " + a + " 2>/dev/null; true");
}

bool IsRealRoot() {
    std::istringstream map(ReadFile("/proc/self/uid_map"));
    long inside = -1, outside = -1, count = 0;
    map >> inside >> outside >> count;
    return geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295L;
}
