#include "ui/QtPairingPrompt.h"

#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include "ui/DialogWindow.h"
#include "ui/PairingDialogs.h"

struct QtPairingPrompt::Question {
    bool done = false;
    bool yes = false;
    QPointer<QWidget> window;
};

QtPairingPrompt::QtPairingPrompt() = default;

QtPairingPrompt::~QtPairingPrompt() {
    Cancel();
}

void QtPairingPrompt::Cancel() {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    shared_->cancelled = true;
    shared_->answered.notify_all();
}

bool QtPairingPrompt::AskToPair(const std::string& name, const std::string& address) {
    return Ask([=](std::function<void(bool)> answer) {
        return PairingDialogs::Request(name, address, std::move(answer));
    });
}

bool QtPairingPrompt::ConfirmCode(const std::string& code, const std::string& peerName,
                                  const std::string& address) {
    return Ask([=](std::function<void(bool)> answer) {
        return PairingDialogs::Code(code, peerName, address, std::move(answer));
    });
}

bool QtPairingPrompt::Ask(std::function<QWidget*(std::function<void(bool)>)> make) {
    if (QThread::currentThread() == thread()) {
        return false;  // the UI thread must never wait for its own window
    }
    auto question = std::make_shared<Question>();
    const std::shared_ptr<Shared> shared = shared_;
    {
        std::lock_guard<std::mutex> guard(shared->mutex);
        if (shared->cancelled) {
            return false;
        }
    }
    QMetaObject::invokeMethod(
        this,
        [shared, question, make] {
            QWidget* window = make([shared, question](bool yes) {
                std::lock_guard<std::mutex> guard(shared->mutex);
                question->done = true;
                question->yes = yes;
                shared->answered.notify_all();
            });
            {
                std::lock_guard<std::mutex> guard(shared->mutex);
                question->window = window;
                if (question->done) {  // timed out or cancelled meanwhile
                    window->deleteLater();
                    return;
                }
            }
            window->adjustSize();
            DialogWindow::Centre(window);
            window->show();
            window->raise();
            window->activateWindow();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> guard(shared->mutex);
    shared->answered.wait_for(guard, kAnswerTime,
                              [&] { return question->done || shared->cancelled; });
    const bool yes = question->done && question->yes && !shared->cancelled;
    if (!question->done) {
        question->done = true;  // a window still to come, or still open, goes unanswered
        QMetaObject::invokeMethod(
            this,
            [question] {
                if (question->window) {
                    question->window->close();
                }
            },
            Qt::QueuedConnection);
    }
    return yes;
}
