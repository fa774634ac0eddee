#pragma once

#include <string>

// Two network namespaces joined by a veth pair: "a" at 10.214.0.1 and "b" at 10.214.0.2, each
// with loopback up and the multicast route on the pair. Removed when the object goes; pairs
// left by a test that was killed go when the next one is made. Needs root.
class NamespacePair {
public:
    NamespacePair();
    ~NamespacePair();
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    bool ok() const { return ok_; }

    static constexpr const char* kAddressA = "10.214.0.1";
    static constexpr const char* kAddressB = "10.214.0.2";

private:
    std::string prefix_;

public:
    const std::string a;
    const std::string b;

private:
    bool ok_ = false;
};

// Root of the machine itself, not of a user namespace: only that may add named namespaces.
bool IsRealRoot();
