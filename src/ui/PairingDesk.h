#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "net/Waker.h"
#include "transfer/PairingInitiator.h"
#include "transfer/PairingResponder.h"
#include "ui/QtPairingPrompt.h"

class Identity;
class TrustStore;

// Pairing on the desktop: "Pair with buddy..." asks for the address and pairs on a thread of
// its own (one at a time), and the responder the receiver hands pairing requests to asks this
// user. Nothing here waits on the UI thread. Made and destroyed on the UI thread; the identity
// and the store outlive it.
class PairingDesk : public QObject {
public:
    PairingDesk(const Identity& identity, TrustStore& trust);
    // Declines what is being asked and ends the running pairing at once.
    ~PairingDesk() override;

    // Declines what is being asked and ends the running pairing's waits, now and later.
    void Cancel();
    // For the receiver (SListener::SetPairing).
    PairingResponder& responder() { return responder_; }
    // The address dialog, prefilled with the current buddy.
    void StartPairing();
    // Pairs with "ADDRESS[:PORT]" without the dialog; false when the text is no address or a
    // pairing is running.
    bool PairWith(const QString& target);
    bool running() const { return running_; }

private:
    void ShowOutcome(const PairingOutcome& outcome, const std::string& address);

    QtPairingPrompt prompt_;
    PairingResponder responder_;
    PairingInitiator initiator_;
    Waker stop_;
    std::thread worker_;
    std::atomic<bool> running_{false};
};
