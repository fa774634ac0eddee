#pragma once

#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "transfer/PairingPrompt.h"

// The pairing's questions as windows (ui/PairingDialogs): asked from a pairing's thread, shown
// on the UI thread, which never waits for them; the asking thread waits for the answer at most
// kAnswerTime, then the window goes and the answer is No. Made and destroyed on the UI thread.
class QtPairingPrompt : public QObject, public PairingPrompt {
public:
    QtPairingPrompt();
    // Cancels: every question waiting is answered No.
    ~QtPairingPrompt() override;

    bool AskToPair(const std::string& name, const std::string& address) override;
    bool ConfirmCode(const std::string& code, const std::string& peerName,
                     const std::string& address) override;
    // Answers No to every question waiting and to all later ones.
    void Cancel();

private:
    struct Question;
    // Shows the window made by `make` (on the UI thread) and waits for its answer.
    bool Ask(std::function<QWidget*(std::function<void(bool)>)> make);

    // Shared with the windows, which may outlive the prompt.
    struct Shared {
        std::mutex mutex;
        std::condition_variable answered;
        bool cancelled = false;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};
