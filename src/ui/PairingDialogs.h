#pragma once

#include <QString>
#include <functional>
#include <string>

class QDialog;
class QMessageBox;

// The pairing's windows, none of them modal (drops, menus and transfers go on): the address to
// pair with, the other computer's request, and the code to compare. Each is deleted when closed
// and calls its answer once, with No when closed any other way.
class PairingDialogs {
public:
    // "Pair with buddy...": the address (ADDRESS or ADDRESS:PORT), prefilled; onOk gets the text.
    static QDialog* Address(const QString& prefill, std::function<void(QString)> onOk);
    // "NAME at ADDRESS wants to pair with this computer." Accept / Decline.
    static QMessageBox* Request(const std::string& name, const std::string& address,
                                std::function<void(bool)> answer);
    // The code, large, and "Do the codes match?" Yes / No.
    static QMessageBox* Code(const std::string& code, const std::string& name,
                             const std::string& address, std::function<void(bool)> answer);
    // The name shown for a peer: its announced or HELLO name, else its address.
    static QString PeerName(const std::string& name, const std::string& address);
};
