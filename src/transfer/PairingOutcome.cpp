#include "transfer/PairingOutcome.h"

std::string PairingOutcome::Text() const {
    switch (kind) {
        case Kind::Paired:
            return "Paired: files to and from this computer now go encrypted.";
        case Kind::Declined:
            return "Not paired: the pairing was declined here.";
        case Kind::PeerDeclined:
            return "Not paired: the other computer declined, or its user saw another code.";
        case Kind::Busy:
            return "Not paired: a pairing is running already; try again in a moment.";
        case Kind::TooManyFailures:
            return "Not paired: too many failed attempts; try again in 10 minutes.";
        case Kind::BadReveal:
            return "Not paired: the other computer broke the protocol; someone may be "
                   "listening in between.";
        case Kind::Failed:
            break;
    }
    return "Not paired: " + (detail.empty() ? std::string("the connection failed") : detail) + ".";
}
