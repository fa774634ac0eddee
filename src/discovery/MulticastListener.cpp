#include "discovery/MulticastListener.h"

#include <errno.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "core/ActivityLog.h"
#include "core/BeaconNotes.h"
#include "core/Callback.h"
#include "discovery/BeaconCapability.h"
#include "discovery/BeaconParser.h"
#include "net/GetMyIp.h"
#include "platform/RegistryKey.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"

namespace {

constexpr const char* kDefaultGroup = "225.6.7.8";
constexpr uint32_t kDefaultPort = 1024;
// One byte is kept for the terminator; a longer datagram is dropped, not cut short.
constexpr int kDatagramCapacity = 1023;

}  // namespace

MulticastListener::MulticastListener(Callback* callback) : callback_(callback) {
    ownAddress_[0] = '\0';
    if (!GetMyIp(ownAddress_, sizeof ownAddress_)) {
        WriteLog("failed to get my ip!\n");
        ownAddress_[0] = '\0';
    }
}

MulticastListener::~MulticastListener() {
    {
        std::lock_guard<std::mutex> guard(receiverMutex_);
        stopping_ = true;
        // Wakes a blocked recvfrom, which then returns 0.
        if (receiverSocket_.handle() != GenSocket::kNone) {
            receiverSocket_.Shutdown(SHUT_RDWR);
        }
    }
    stopSignal_.notify_all();
    if (receiver_.joinable()) {
        receiver_.join();
    }
}

void MulticastListener::StartReceiver() {
    if (receiver_.joinable()) {
        return;
    }
    try {
        receiver_ = std::thread([this] { RunMulticastThread(); });
    } catch (const std::system_error&) {
        WriteLog("Could not start the multicast receiver\n");
    }
}

bool MulticastListener::OpenReceiver(int port, const char* group, bool& opened) {
    std::lock_guard<std::mutex> guard(receiverMutex_);
    if (stopping_) {
        return false;
    }
    opened = receiverSocket_.OpenMulticastReceiver(port, group);
    if (!opened) {
        receiverSocket_.Close();
    }
    return true;
}

bool MulticastListener::StopRequested() {
    std::lock_guard<std::mutex> guard(receiverMutex_);
    return stopping_;
}

bool MulticastListener::Pause(int milliseconds) {
    std::unique_lock<std::mutex> guard(receiverMutex_);
    return !stopSignal_.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                 [this] { return stopping_; });
}

int MulticastListener::RunMulticastThread() {
    // Discovery values are read afresh and written back on every use, so that an absent
    // value shows up in the file with its default.
    RegistryText groupValue(SettingKey("MulticastIP"), kDefaultGroup, true, RegRoot::LocalMachine);
    groupValue.Write();
    RegistryNumber portValue(SettingKey("MulticastListenPort"), kDefaultPort, true,
                             RegRoot::LocalMachine);
    portValue.Write();
    const std::string group = groupValue.Get();
    const int listenPort = static_cast<int>(portValue.Get());

    bool opened = false;
    if (!OpenReceiver(listenPort, group.c_str(), opened)) {
        return 0;
    }
    if (!opened) {
        WriteLog("RunMulticastThread() created multicast socket failed\n");
        return 0;
    }
    WriteLog("Starting multicast receiver\n");

    // The last buddy heard, until a leave.
    std::string buddyAddress;
    std::string buddyPort;
    char buffer[kDatagramCapacity + 1];
    char source[28];
    bool failed = false;
    for (;;) {
        int sourcePort = 0;
        source[0] = '\0';
        const int n = receiverSocket_.ReceiveFrom(buffer, kDatagramCapacity, source, sizeof source,
                                                  &sourcePort, 0);
        const int error = errno;
        if (StopRequested()) {
            break;
        }
        if (n < 0) {
            // One odd datagram must not switch discovery off: only a broken socket ends it.
            if (error == EMSGSIZE || error == EINTR) {
                continue;
            }
            failed = true;
            break;
        }
        if (n == 0) {
            continue;
        }
        buffer[n] = '\0';
        if (strcmp(source, ownAddress_) == 0) {
            continue;
        }
        const BeaconParser::Beacon beacon = BeaconParser::Parse(buffer, static_cast<size_t>(n));
        BeaconNotes* notes = notes_.load();
        if (beacon.kind == BeaconParser::Kind::Announce && notes != nullptr &&
            !notes->Announced(source, beacon.address, beacon.port, beacon.capability)) {
            continue;
        }
        if (beacon.kind == BeaconParser::Kind::Leave && notes != nullptr &&
            !notes->Left(source, beacon.address)) {
            continue;
        }
        if (beacon.kind == BeaconParser::Kind::Announce) {
            buddyAddress = beacon.address;
            buddyPort = beacon.port;
            buddyKnown_ = true;
            WriteLog("Incoming multicast connection\n");
            if (!Pause(50)) {
                break;
            }
            if (callback_ != nullptr) {
                callback_->FoundBuddy(buddyAddress.c_str(), buddyPort.c_str());
            }
        } else if (beacon.kind == BeaconParser::Kind::Leave) {
            buddyKnown_ = false;
            if (!buddyAddress.empty()) {
                WriteLog("Buddy shuting down\n");
            }
            if (callback_ != nullptr) {
                callback_->LostBuddy(false);
            }
            buddyAddress.clear();
            buddyPort.clear();
        }
    }
    if (failed) {
        WriteLog("RunMulticastThread() receive failed\n");
    }
    std::lock_guard<std::mutex> guard(receiverMutex_);
    receiverSocket_.Close();
    return 0;
}

void MulticastListener::SendBeacon(int port) {
    std::lock_guard<std::mutex> guard(senderMutex_);
    try {
        RegistryText group(SettingKey("MulticastIP"), kDefaultGroup, true, RegRoot::LocalMachine);
        group.Write();
        RegistryNumber destination(SettingKey("MulticastPort"), kDefaultPort, true,
                                   RegRoot::LocalMachine);
        destination.Write();
        std::string message;
        if (shuttingDown_) {
            message = std::string("d|") + ownAddress_ + "|blah, blah";
        } else {
            message = std::string("b|") + ownAddress_ + "|" + std::to_string(port);
            if (!offer_.empty()) {
                message += "|" + offer_;
            }
        }
        if (!senderSocket_.OpenDatagram()) {
            WriteLog("Create Multicast Sender failed\n");
            return;
        }
        const std::string groupText = group.Get();
        const int sent =
            senderSocket_.SendMulticast(message.data(), static_cast<int>(message.size()),
                                        static_cast<int>(destination.Get()), groupText.c_str());
        if (sent <= 0) {
            WriteLog("Multicast to failed\n");
        }
    } catch (...) {
        WriteLog("Exception in Connect attempt\n");
    }
}

void MulticastListener::SetCapability(std::optional<Capability> capability) {
    // The field exists to offer TLS; without that there is nothing to say.
    std::string offer;
    if (capability && capability->tls) {
        offer = BeaconCapability::Encode(capability->keyId, capability->name);
    }
    std::lock_guard<std::mutex> guard(senderMutex_);
    offer_ = std::move(offer);
}

void MulticastListener::AnnounceShutdown() {
    shuttingDown_ = true;
    SendBeacon(0);
}
