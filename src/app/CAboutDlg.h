#pragma once

#include <QDialog>

// The About box: the dog, the version, OK.
class CAboutDlg : public QDialog {
public:
    static constexpr const char* kVersionText = "Zingwell version 2.0.1 (beta)";

    explicit CAboutDlg(QWidget* parent = nullptr);
};
