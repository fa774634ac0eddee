#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <functional>
#include <map>
#include <string>

#include "settings/LiveSettings.h"

class QScrollArea;
class QTreeWidget;
class QComboBox;
class QLabel;
class TrustStore;

// The settings: how files leave this computer (found buddy, fixed address, FTP server), the
// ports and the FTP logon. It works on a copy of the settings: the boxes' clicks change the
// copy, OK makes it the running program's, stores every main setting and has the program
// apply them at once; Cancel (the close box, Esc) leaves everything as it was.
class ConfigDialog : public QDialog {
public:
    // The page the "Go" button opens: it tells a computer its public address.
    static constexpr const char* kPublicAddressPage = "https://ifconfig.me/";
    static constexpr const char* kPublicAddressService = "ifconfig.me";

    explicit ConfigDialog(QWidget* parent = nullptr);

    void accept() override;
    // Run at every OK once the settings are in force and stored: the running program takes
    // them up (receiver, discovery, where the queue goes).
    void SetOnApplied(std::function<void()> applied) { applied_ = std::move(applied); }
    // The known computers the list shows; its Forget removes one from them at once.
    void SetKnownComputers(TrustStore* store);
    QTreeWidget* computers() const { return computers_; }

    // Controls by their numbers (1000 to 1017, and 1 for OK).
    QWidget* Control(int id) const;
    QCheckBox* Box(int id) const;
    QLineEdit* Edit(int id) const;
    bool modeChanged() const { return modeChanged_; }
    // The settings as the dialog holds them now.
    const SettingsValues& values() const { return values_; }

    // The dialog's font: the designed one, made smaller until a page of width by height
    // dialog units fits the available area (logical pixels), but never below a size that is
    // legible on a screen of that pixel ratio.
    static QFont FittingFont(const QFont& designed, QSize available, int width, int height,
                             qreal devicePixelRatio);

protected:
    // After OK; a separate step so that it can be watched.
    virtual void SettingsApplied();

private:
    void Build(QWidget* page);
    void Open();
    void OnBoxClicked(int id);
    void TakeValues();
    void ShowFlags();
    void WriteSettings();
    void ShowComputers();
    void ForgetComputer();
    void SwitchComputer();

    std::map<int, QWidget*> controls_;
    // Each text field's stored bytes and the text shown for them: a field the user left
    // alone gives back its bytes as they were, UTF-8 or not.
    std::map<int, std::pair<std::string, QString>> stored_;
    SettingsValues values_;
    bool modeChanged_ = false;
    std::function<void()> applied_;
    TrustStore* store_ = nullptr;
    QTreeWidget* computers_ = nullptr;  // name, last address, key id, state; the key hidden
    QPushButton* forget_ = nullptr;
    QPushButton* switch_ = nullptr;   // always <-> never
    QComboBox* strangers_ = nullptr;  // ask, refuse, accept: the setting's texts
    QLabel* strangersWarning_ = nullptr;
};
