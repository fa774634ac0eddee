#include "ui/ConfigDialog.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <climits>

#include "net/GetMyIp.h"
#include "platform/Launcher.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
#include "ui/DialogFont.h"
#include "ui/DialogUnits.h"

namespace {

using Text = LiveSettingsStore::Text;

const QColor kYellow(255, 209, 0);
const QColor kGreen(46, 151, 65);

enum Id {
    kFtpAddress = 1000,
    kUser = 1001,
    kPassword = 1002,
    kUseFtp = 1003,
    kTarget = 1005,
    kServerAddress = 1006,
    kSendToAddress = 1007,
    kAutomatic = 1008,
    kReceive = 1010,
    kClientPort = 1011,
    kMyAddress = 1012,
    kGo = 1013,
    kServerPort = 1014,
    kAutoPort = 1015,
};

struct Binding {
    int id;
    Text text;
    const char* name;
    const char* fallback;  // shown when the stored text is empty
};

// The eight text fields, in the order the settings are read when the dialog opens.
const Binding kTexts[] = {
    {kFtpAddress, Text::ftpip, "ftpip", ""},
    {kTarget, Text::target, "target", ""},
    {kServerPort, Text::serverport, "serverport", ""},
    {kServerAddress, Text::servaddr, "servaddr", "255.255.255.255"},
    {kClientPort, Text::clientport, "clientport", "6677"},
    {kAutoPort, Text::autoport, "autoport", "6677"},
    {kUser, Text::user, "user", ""},
    {kPassword, Text::pass, "pass", ""},
};

std::atomic<int32_t>& Flag(int id) {
    switch (id) {
        case kAutomatic:
            return LiveSettings.auto_;
        case kSendToAddress:
            return LiveSettings.manual;
        case kReceive:
            return LiveSettings.server;
        default:
            return LiveSettings.useftp;
    }
}

void Colour(QWidget* widget, bool edit) {
    QPalette palette = widget->palette();
    const QColor text = edit ? QColor(Qt::black) : kGreen;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, text);
        palette.setColor(group, QPalette::Text, text);
        palette.setColor(group, QPalette::ButtonText, text);
        palette.setColor(group, QPalette::Window, kYellow);
        palette.setColor(group, QPalette::Base, kYellow);
    }
    widget->setPalette(palette);
}

}  // namespace

ConfigDialog::ConfigDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setWindowTitle(QStringLiteral("Zingwell Settings"));
    setFont(DialogFont::Garamond(11));
    setAutoFillBackground(true);
    Colour(this, false);
    Build();
    Open();
}

void ConfigDialog::Build() {
    const DialogUnits units(font());
    setFixedSize(units.X(220), units.Y(215));
    QList<QWidget*> tabOrder;
    QList<QWidget*> groups;

    auto place = [&](QWidget* widget, int id, int x, int y, int w, int h) {
        widget->setGeometry(units.Rect(x, y, w, h));
        if (id != 0) {
            widget->setObjectName(QStringLiteral("c%1").arg(id));
            controls_[id] = widget;
        }
    };
    auto box = [&](int id, const char* text, int x, int y, int w, int h, bool textLeft) {
        auto* check = new QCheckBox(QString::fromLatin1(text), this);
        if (textLeft) {
            check->setLayoutDirection(Qt::RightToLeft);
        }
        Colour(check, false);
        // The box itself stays white, as check boxes are, so that it shows on the yellow.
        QPalette white = check->palette();
        white.setColor(QPalette::Base, Qt::white);
        check->setPalette(white);
        place(check, id, x, y, w, h);
        connect(check, &QCheckBox::clicked, this, [this, id] { OnBoxClicked(id); });
        tabOrder << check;
        return check;
    };
    auto edit = [&](int id, int x, int y, int w, int h, bool digits) {
        auto* line = new QLineEdit(this);
        line->setMaxLength(INT_MAX);  // no limit of our own
        if (digits) {
            line->setValidator(new QRegularExpressionValidator(
                QRegularExpression(QStringLiteral("[0-9]*")), line));
        }
        Colour(line, true);
        place(line, id, x, y, w, h);
        tabOrder << line;
        return line;
    };
    auto label = [&](const QString& text, int x, int y, int w, int h) {
        auto* item = new QLabel(text, this);
        Colour(item, false);
        place(item, 0, x, y, w, h);
        return item;
    };
    auto group = [&](const char* title, int x, int y, int w, int h) {
        auto* frame = new QGroupBox(QString::fromLatin1(title), this);
        Colour(frame, false);
        // The title sits on the frame's top line, with the controls' rows inside the frame.
        frame->setStyleSheet(QStringLiteral(
            "QGroupBox { border: 1px solid #b08a00; margin-top: 0.55em; }"
            "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
            " left: 0.5em; padding: 0 0.25em; color: rgb(46, 151, 65);"
            " background: rgb(255, 209, 0); }"));
        place(frame, 0, x, y, w, h);
        groups << frame;
    };
    auto button = [&](int id, const char* text, int x, int y, int w, int h) {
        auto* push = new QPushButton(QString::fromLatin1(text), this);
        Colour(push, false);
        place(push, id, x, y, w, h);
        tabOrder << push;
        return push;
    };

    box(kAutomatic, "Automatically find another computer running Zingwell", 11, 39, 194, 13, false);
    box(kSendToAddress, "Send to address:", 12, 87, 68, 8, true);
    edit(kServerAddress, 82, 85, 65, 12, false);
    edit(kClientPort, 172, 85, 26, 12, true);
    box(kReceive, "Receive on local port:", 12, 103, 84, 8, true);
    edit(kServerPort, 100, 101, 26, 12, true);
    box(kUseFtp, "Use FTP", 12, 135, 43, 8, false);
    edit(kFtpAddress, 106, 133, 92, 12, false);
    edit(kTarget, 106, 149, 92, 12, false);
    edit(kUser, 52, 165, 54, 12, false);
    edit(kPassword, 150, 165, 48, 12, false)->setEchoMode(QLineEdit::Password);
    QPushButton* ok = button(1, "OK", 175, 7, 34, 14);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &ConfigDialog::accept);
    label(QStringLiteral("Username:"), 12, 166, 38, 8);
    label(QStringLiteral("Address/IP:"), 64, 135, 41, 8);
    label(QStringLiteral("Password:"), 112, 166, 35, 8);
    label(QStringLiteral("This computer's IP Address:"), 7, 9, 98, 8);
    group("Automatic LAN Setup", 6, 28, 204, 42);
    group("Manual LAN Setup", 6, 74, 204, 44);
    group("FTP Setup", 6, 122, 204, 60);
    label(QStringLiteral("Port:"), 154, 87, 16, 8);
    QLineEdit* mine = edit(kMyAddress, 114, 9, 59, 12, false);
    mine->setEnabled(false);
    mine->setFrame(false);
    label(QStringLiteral("Target folder:"), 56, 151, 49, 8);
    QPushButton* go = button(kGo, "Go", 176, 192, 34, 14);
    go->setAutoDefault(false);
    connect(go, &QPushButton::clicked, this, [] {
        if (Launcher* launcher = GetLauncher()) {
            launcher->OpenUrl(kPublicAddressPage);
        }
    });
    label(QString::fromLatin1(kPublicAddressService), 82, 196, 92, 8)
        ->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edit(kAutoPort, 39, 52, 26, 12, true)->setReadOnly(true);
    label(QStringLiteral("Port:"), 21, 54, 16, 8);

    // The frames lie behind the controls they hold.
    for (QWidget* frame : groups) {
        frame->lower();
    }
    for (int i = 1; i < tabOrder.size(); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
}

QWidget* ConfigDialog::Control(int id) const {
    auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

QCheckBox* ConfigDialog::Box(int id) const {
    return qobject_cast<QCheckBox*>(Control(id));
}

QLineEdit* ConfigDialog::Edit(int id) const {
    return qobject_cast<QLineEdit*>(Control(id));
}

void ConfigDialog::Open() {
    char address[28] = {};
    Edit(kMyAddress)
        ->setText(GetMyIp(address, sizeof address) ? QString::fromLatin1(address)
                                                   : QStringLiteral("unknown"));
    for (const Binding& binding : kTexts) {
        std::string value =
            RegistryText(SettingKey(binding.name), "", true, RegRoot::CurrentUser).Get();
        if (value.empty()) {
            value = binding.fallback;
        }
        Edit(binding.id)->setText(QString::fromStdString(value));
    }
    auto number = [](const char* name, uint32_t fallback) {
        return static_cast<int32_t>(
            RegistryNumber(SettingKey(name), fallback, true, RegRoot::CurrentUser).Get());
    };
    LiveSettings.useftp = number("useftp", 0);
    LiveSettings.server = number("server", 0);
    LiveSettings.manual = number("manual", 1);
    LiveSettings.auto_ = number("auto", 0);
    ShowFlags();
    if (QScreen* screen = QApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void ConfigDialog::ShowFlags() {
    for (int id : {kAutomatic, kSendToAddress, kReceive, kUseFtp}) {
        Box(id)->setChecked(Flag(id) != 0);
    }
}

void ConfigDialog::TakeValues() {
    for (int id : {kAutomatic, kSendToAddress, kReceive, kUseFtp}) {
        Flag(id) = Box(id)->isChecked() ? 1 : 0;
    }
    for (const Binding& binding : kTexts) {
        LiveSettings.Set(binding.text, Edit(binding.id)->text().toStdString());
    }
}

void ConfigDialog::OnBoxClicked(int id) {
    const int32_t before = Flag(id);
    // The running program sees the new mode and texts at once.
    TakeValues();
    switch (id) {
        case kAutomatic:
            LiveSettings.useftp = 0;
            LiveSettings.server = 0;
            LiveSettings.manual = 0;
            break;
        case kSendToAddress:
        case kReceive:
            LiveSettings.useftp = 0;
            LiveSettings.auto_ = 0;
            break;
        case kUseFtp:
            LiveSettings.server = 0;
            LiveSettings.manual = 0;
            LiveSettings.auto_ = 0;
            break;
    }
    ShowFlags();
    if (Flag(id) != before) {
        modeChanged_ = true;
    }
}

void ConfigDialog::accept() {
    TakeValues();
    QDialog::accept();
    WriteSettings();
    if (modeChanged_) {
        ShowRestartNotice();
    }
}

void ConfigDialog::WriteSettings() {
    const SettingsValues values = LiveSettings.Snapshot();
    auto text = [](const char* name, const std::string& value) {
        RegistryText(SettingKey(name), "", true, RegRoot::CurrentUser).Set(value);
    };
    auto number = [](const char* name, int32_t value) {
        RegistryNumber(SettingKey(name), 0, true, RegRoot::CurrentUser)
            .Set(static_cast<uint32_t>(value));
    };
    text("servaddr", values.servaddr);
    text("clientport", values.clientport);
    text("autoport", values.autoport);
    text("serverport", values.serverport);
    text("ftpip", values.ftpip);
    text("target", values.target);
    text("user", values.user);
    text("pass", values.pass);
    number("useftp", values.useftp);
    number("server", values.server);
    number("auto", values.auto_);
    number("manual", values.manual);
}

void ConfigDialog::ShowRestartNotice() {
    QMessageBox::warning(
        nullptr, QStringLiteral("Zingwell"),
        QStringLiteral("*** Please restart Zingwell for changes to take affect ***"));
}
