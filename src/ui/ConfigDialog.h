#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <map>

// The settings: how files leave this computer (found buddy, fixed address, FTP server), the
// ports and the FTP logon. Edits LiveSettings as boxes are clicked; OK stores every main
// setting and, when the mode changed, asks for a restart.
class ConfigDialog : public QDialog {
public:
    // The page the "Go" button opens: it tells a computer its public address.
    static constexpr const char* kPublicAddressPage = "https://ifconfig.me/";
    static constexpr const char* kPublicAddressService = "ifconfig.me";

    explicit ConfigDialog(QWidget* parent = nullptr);

    void accept() override;

    // Controls by their numbers (1000 to 1015, and 1 for OK).
    QWidget* Control(int id) const;
    QCheckBox* Box(int id) const;
    QLineEdit* Edit(int id) const;
    bool modeChanged() const { return modeChanged_; }

protected:
    // Shown after OK when a box was clicked; a separate step so that it can be watched.
    virtual void ShowRestartNotice();

private:
    void Build();
    void Open();
    void OnBoxClicked(int id);
    void TakeValues();
    void ShowFlags();
    void WriteSettings();

    std::map<int, QWidget*> controls_;
    bool modeChanged_ = false;
};
