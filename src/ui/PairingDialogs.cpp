#include "ui/PairingDialogs.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

#include "core/DisplayName.h"
#include "ui/DialogWindow.h"

namespace {

// A question box whose answer is given once: Yes for the accepting button, No otherwise.
QMessageBox* Question(const QString& title, const QString& text, const QString& yes,
                      const QString& no, std::function<void(bool)> answer) {
    auto* box = new QMessageBox(QMessageBox::Question, title, text, QMessageBox::NoButton, nullptr,
                                DialogWindow::Flags(true, true));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    QPushButton* accept = box->addButton(yes, QMessageBox::YesRole);
    QPushButton* decline = box->addButton(no, QMessageBox::NoRole);
    box->setDefaultButton(decline);
    box->setEscapeButton(decline);
    auto told = std::make_shared<bool>(false);
    QObject::connect(box, &QMessageBox::buttonClicked, box, [=](QAbstractButton* button) {
        if (!*told) {
            *told = true;
            answer(button == accept);
        }
    });
    QObject::connect(box, &QObject::destroyed, [=] {
        if (!*told) {
            *told = true;
            answer(false);
        }
    });
    DialogWindow::KeepRestored(box);
    return box;
}

}  // namespace

QString PairingDialogs::PeerName(const std::string& name, const std::string& address) {
    return QString::fromStdString(DisplayName(name.empty() ? address : name, 64));
}

QDialog* PairingDialogs::Address(const QString& prefill, std::function<void(QString)> onOk) {
    auto* dialog = new QDialog(nullptr, DialogWindow::Flags(true));
    dialog->setWindowTitle(QStringLiteral("Pair with buddy"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(dialog);
    auto* label = new QLabel(QStringLiteral("Address of the computer to pair with:"), dialog);
    auto* address = new QLineEdit(prefill, dialog);
    address->setObjectName(QStringLiteral("pairAddress"));
    label->setBuddy(address);
    auto* note = new QLabel(QStringLiteral("The other computer must run this version of "
                                           "Zingwell. Both screens will show a code to compare."),
                            dialog);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Pair"));
    layout->addWidget(label);
    layout->addWidget(address);
    layout->addWidget(note);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, [=] {
        onOk(address->text().trimmed());
        dialog->close();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    DialogWindow::KeepRestored(dialog);
    return dialog;
}

QMessageBox* PairingDialogs::Request(const std::string& name, const std::string& address,
                                     std::function<void(bool)> answer) {
    const QString text = QStringLiteral("%1 at %2 wants to pair with this computer.")
                             .arg(PeerName(name, address), QString::fromStdString(address));
    QMessageBox* box = Question(QStringLiteral("Zingwell: pairing"), text, QStringLiteral("Accept"),
                                QStringLiteral("Decline"), std::move(answer));
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(
        QStringLiteral("Accept only if you expect it: both screens will then "
                       "show a code to compare."));
    return box;
}

QMessageBox* PairingDialogs::Code(const std::string& code, const std::string& name,
                                  const std::string& address, std::function<void(bool)> answer) {
    const QString text = QStringLiteral(
                             "<p>Pairing with %1 at %2. This computer's code:</p>"
                             "<p style=\"font-size: 28pt; font-weight: bold\">%3</p>"
                             "<p>Do the codes match?</p>")
                             .arg(PeerName(name, address).toHtmlEscaped(),
                                  QString::fromStdString(address).toHtmlEscaped(),
                                  QString::fromStdString(code).toHtmlEscaped());
    QMessageBox* box = Question(QStringLiteral("Zingwell: pairing code"), text,
                                QStringLiteral("Yes"), QStringLiteral("No"), std::move(answer));
    box->setTextFormat(Qt::RichText);
    box->setInformativeText(
        QStringLiteral("If the codes differ, someone may be listening in "
                       "between: choose No, and nothing is paired."));
    return box;
}
