#include "ui/PairingDesk.h"

#include <QMessageBox>

#include "core/ActivityLog.h"
#include "core/DisplayName.h"
#include "settings/InitSettings.h"
#include "settings/LiveSettings.h"
#include "ui/DialogWindow.h"
#include "ui/PairingDialogs.h"

namespace {

constexpr int kDefaultPort = 6677;

}  // namespace

PairingDesk::PairingDesk(const Identity& identity, TrustStore& trust)
    : responder_(trust, prompt_), initiator_(identity, trust, prompt_) {}

PairingDesk::~PairingDesk() {
    Cancel();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void PairingDesk::Cancel() {
    prompt_.Cancel();
    stop_.Wake();
}

void PairingDesk::StartPairing() {
    std::string address, port;
    LiveSettings.GetBuddy(address, port);
    QString prefill = QString::fromStdString(address);
    if (!address.empty() && !port.empty() && port != std::to_string(kDefaultPort)) {
        prefill += QStringLiteral(":") + QString::fromStdString(port);
    }
    QDialog* dialog = PairingDialogs::Address(prefill, [this](const QString& target) {
        if (!PairWith(target) && !running_) {
            DialogWindow::Warning(
                QStringLiteral("\"%1\" is no address: type one like 192.168.1.20 or "
                               "192.168.1.20:6677.")
                    .arg(target))
                ->show();
        }
    });
    dialog->show();
    DialogWindow::Centre(dialog);
    dialog->raise();
    dialog->activateWindow();
}

bool PairingDesk::PairWith(const QString& target) {
    std::string address;
    int port = kDefaultPort;
    if (!PairingInitiator::ParseTarget(target.toStdString(), address, port)) {
        return false;
    }
    if (running_) {
        DialogWindow::Warning(QStringLiteral("A pairing is running already."))->show();
        return false;
    }
    if (worker_.joinable()) {
        worker_.join();  // the last pairing's thread, ended
    }
    std::string name = LiveSettings.Get(LiveSettingsStore::Text::computername);
    if (name.empty()) {
        name = DefaultComputerName();
    }
    running_ = true;
    const auto clicked = std::chrono::steady_clock::now();
    initiator_.SetCodeShown([clicked](const std::string&) {
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - clicked);
        WriteLog("Pairing: the code was shown " + std::to_string(took.count()) +
                 " ms after the click\n");
    });
    worker_ = std::thread([this, address, port, name] {
        const PairingOutcome outcome = initiator_.Pair(address, port, name, &stop_);
        WriteLog("Pairing with " + address + ": " + outcome.Text() + "\n");
        QMetaObject::invokeMethod(
            this,
            [this, outcome, address] {
                running_ = false;
                ShowOutcome(outcome, address);
            },
            Qt::QueuedConnection);
    });
    return true;
}

void PairingDesk::ShowOutcome(const PairingOutcome& outcome, const std::string& address) {
    QMessageBox* box = DialogWindow::Warning(QString::fromStdString(outcome.Text()));
    if (outcome.paired()) {
        box->setIcon(QMessageBox::Information);
        box->setText(QStringLiteral("Paired with %1 at %2: files between the two computers now "
                                    "go encrypted, to this computer only.")
                         .arg(PairingDialogs::PeerName(outcome.peerName, address),
                              QString::fromStdString(address)));
    }
    box->show();
}
