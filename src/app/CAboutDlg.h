#pragma once

#include <QDialog>

class Identity;

// The About box: the dog, the version, this computer's key id and fingerprint (which a
// buddy's user may compare), OK.
class CAboutDlg : public QDialog {
public:
    static constexpr const char* kVersionText = "Zingwell version 2.0.1 (beta)";

    explicit CAboutDlg(const Identity* identity = nullptr, QWidget* parent = nullptr);
};
