#include "ui/ConfigDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtMath>
#include <climits>

#include "core/DisplayName.h"
#include "net/GetMyIp.h"
#include "platform/Launcher.h"
#include "secure/TrustStore.h"
#include "settings/InitSettings.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
#include "ui/DialogFont.h"
#include "ui/DialogUnits.h"
#include "ui/DialogWindow.h"

namespace {

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
    kComputerName = 1016,
    kAdvertiseSecure = 1017,
};

struct Binding {
    int id;
    std::string SettingsValues::*text;
    const char* name;
    const char* fallback;  // shown when the stored text is empty
};

// The text fields, in the order the settings are read when the dialog opens.
const Binding kTexts[] = {
    {kFtpAddress, &SettingsValues::ftpip, "ftpip", ""},
    {kTarget, &SettingsValues::target, "target", ""},
    {kServerPort, &SettingsValues::serverport, "serverport", ""},
    {kServerAddress, &SettingsValues::servaddr, "servaddr", "255.255.255.255"},
    {kClientPort, &SettingsValues::clientport, "clientport", "6677"},
    {kAutoPort, &SettingsValues::autoport, "autoport", "6677"},
    {kUser, &SettingsValues::user, "user", ""},
    {kPassword, &SettingsValues::pass, "pass", ""},
    {kComputerName, &SettingsValues::computername, "computername", nullptr},  // the host name
};

int32_t& Flag(SettingsValues& values, int id) {
    switch (id) {
        case kAutomatic:
            return values.auto_;
        case kSendToAddress:
            return values.manual;
        case kReceive:
            return values.server;
        default:
            return values.useftp;
    }
}

// The dialog's size in dialog units, and the smallest font it is ever drawn in.
constexpr int kWidth = 220;
constexpr int kHeight = 316;
// The automatic group's third row (this computer's offer to the others) moves everything
// below it down by this much.
constexpr int kOfferRow = 14;
constexpr qreal kSmallestDevicePixels = 10;
// What a window manager's frame and title take around the dialog, with room to spare: some
// place a window on a scaled screen lower than asked by the height of its title.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 64;

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

ConfigDialog::ConfigDialog(QWidget* parent) : QDialog(parent, DialogWindow::Flags(true, true)) {
    setWindowTitle(QStringLiteral("Zingwell Settings"));
    DialogWindow::KeepRestored(this);
    QScreen* screen = QApplication::primaryScreen();
    const QSize available =
        screen != nullptr ? screen->availableGeometry().size() - QSize(kFrameWidth, kFrameHeight)
                          : QSize(INT_MAX / 2, INT_MAX / 2);
    setFont(FittingFont(DialogFont::Garamond(11), available, kWidth, kHeight,
                        screen != nullptr ? screen->devicePixelRatio() : 1.0));
    setAutoFillBackground(true);
    Colour(this, false);

    // The page holds the designed layout; where even the smallest font cannot make it fit,
    // it scrolls.
    auto* page = new QWidget;
    page->setAutoFillBackground(true);
    Colour(page, false);
    Build(page);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(page);
    scroll->viewport()->setAutoFillBackground(true);
    Colour(scroll->viewport(), false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    const QSize extra(scroll->verticalScrollBar()->sizeHint().width(),
                      scroll->horizontalScrollBar()->sizeHint().height());
    QSize size = page->size();
    if (size.width() > available.width() || size.height() > available.height()) {
        size = (size + extra).boundedTo(available);
    }
    setFixedSize(size);
    Open();
}

QFont ConfigDialog::FittingFont(const QFont& designed, QSize available, int width, int height,
                                qreal devicePixelRatio) {
    auto fits = [&](const QFont& font) {
        const DialogUnits units(font);
        return units.X(width) <= available.width() && units.Y(height) <= available.height();
    };
    if (fits(designed)) {
        return designed;
    }
    // Legibility is a matter of the screen's own pixels: a scaled screen has more of them.
    const int smallest = std::max(1, qCeil(kSmallestDevicePixels / devicePixelRatio));
    QFont font = designed;
    for (int pixels = QFontInfo(designed).pixelSize() - 1; pixels >= smallest; --pixels) {
        font.setPixelSize(pixels);
        if (fits(font)) {
            break;
        }
    }
    return font;
}

void ConfigDialog::Build(QWidget* page) {
    page->setFont(font());
    const DialogUnits units(font());
    page->setFixedSize(units.X(kWidth), units.Y(kHeight));
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
        auto* check = new QCheckBox(QString::fromLatin1(text), page);
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
        auto* line = new QLineEdit(page);
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
        auto* item = new QLabel(text, page);
        Colour(item, false);
        place(item, 0, x, y, w, h);
        return item;
    };
    auto group = [&](const char* title, int x, int y, int w, int h) {
        auto* frame = new QGroupBox(QString::fromLatin1(title), page);
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
        auto* push = new QPushButton(QString::fromLatin1(text), page);
        Colour(push, false);
        place(push, id, x, y, w, h);
        tabOrder << push;
        return push;
    };

    box(kAutomatic, "Automatically find another computer running Zingwell", 11, 39, 194, 13, false);
    box(kSendToAddress, "Send to address:", 12, 87 + kOfferRow, 68, 8, true);
    edit(kServerAddress, 82, 85 + kOfferRow, 65, 12, false);
    edit(kClientPort, 172, 85 + kOfferRow, 26, 12, true);
    box(kReceive, "Receive on local port:", 12, 103 + kOfferRow, 84, 8, true);
    edit(kServerPort, 100, 101 + kOfferRow, 26, 12, true);
    box(kUseFtp, "Use FTP", 12, 135 + kOfferRow, 43, 8, false);
    edit(kFtpAddress, 106, 133 + kOfferRow, 92, 12, false);
    edit(kTarget, 106, 149 + kOfferRow, 92, 12, false);
    edit(kUser, 52, 165 + kOfferRow, 54, 12, false);
    edit(kPassword, 150, 165 + kOfferRow, 48, 12, false)->setEchoMode(QLineEdit::Password);
    QPushButton* ok = button(1, "OK", 175, 7, 34, 14);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &ConfigDialog::accept);
    label(QStringLiteral("Username:"), 12, 166 + kOfferRow, 38, 8);
    label(QStringLiteral("Address/IP:"), 64, 135 + kOfferRow, 41, 8);
    label(QStringLiteral("Password:"), 112, 166 + kOfferRow, 35, 8);
    label(QStringLiteral("This computer's IP Address:"), 7, 9, 98, 8);
    group("Automatic LAN Setup", 6, 28, 204, 42 + kOfferRow);
    group("Manual LAN Setup", 6, 74 + kOfferRow, 204, 44);
    group("FTP Setup", 6, 122 + kOfferRow, 204, 60);
    label(QStringLiteral("Port:"), 154, 87 + kOfferRow, 16, 8);
    QLineEdit* mine = edit(kMyAddress, 114, 9, 59, 12, false);
    mine->setEnabled(false);
    mine->setFrame(false);
    label(QStringLiteral("Target folder:"), 56, 151 + kOfferRow, 49, 8);
    QPushButton* go = button(kGo, "Go", 176, 192 + kOfferRow, 34, 14);
    go->setAutoDefault(false);
    connect(go, &QPushButton::clicked, this, [] {
        if (Launcher* launcher = GetLauncher()) {
            launcher->OpenUrl(kPublicAddressPage);
        }
    });
    label(QString::fromLatin1(kPublicAddressService), 82, 196 + kOfferRow, 92, 8)
        ->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edit(kAutoPort, 39, 52, 26, 12, true)->setReadOnly(true);
    label(QStringLiteral("Port:"), 21, 54, 16, 8);
    label(QStringLiteral("This computer's name:"), 70, 54, 80, 8);
    edit(kComputerName, 152, 52, 53, 12, false);
    box(kAdvertiseSecure, "Offer secure transfers in the beacon", 11, 67, 194, 10, false);

    group("Known computers", 6, 212 + kOfferRow, 204, 70);
    computers_ = new QTreeWidget(page);
    computers_->setObjectName(QStringLiteral("computers"));
    computers_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Last address"),
                                 QStringLiteral("Key id"), QStringLiteral("State")});
    computers_->setRootIsDecorated(false);
    computers_->setSelectionMode(QAbstractItemView::SingleSelection);
    computers_->header()->setStretchLastSection(true);
    computers_->setGeometry(units.Rect(12, 224 + kOfferRow, 150, 54));
    tabOrder << computers_;
    forget_ = button(0, "Forget", 168, 224 + kOfferRow, 36, 14);
    forget_->setObjectName(QStringLiteral("forgetComputer"));
    forget_->setAutoDefault(false);
    forget_->setEnabled(false);
    connect(forget_, &QPushButton::clicked, this, [this] { ForgetComputer(); });
    // Always <-> never for the computer chosen: its text says what a click makes of it.
    switch_ = button(0, "Never", 168, 242 + kOfferRow, 36, 14);
    switch_->setObjectName(QStringLiteral("switchComputer"));
    switch_->setAutoDefault(false);
    switch_->setEnabled(false);
    connect(switch_, &QPushButton::clicked, this, [this] { SwitchComputer(); });
    connect(computers_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const QList<QTreeWidgetItem*> chosen = computers_->selectedItems();
        forget_->setEnabled(store_ != nullptr && !chosen.isEmpty());
        const int state = chosen.isEmpty() ? -1 : chosen.front()->data(1, Qt::UserRole).toInt();
        switch_->setEnabled(store_ != nullptr && state >= 0 &&
                            state != static_cast<int>(TrustEntry::State::Paired));
        switch_->setText(state == static_cast<int>(TrustEntry::State::Blocked)
                             ? QStringLiteral("Always")
                             : QStringLiteral("Never"));
    });

    label(QStringLiteral("Files from strangers:"), 12, 302, 72, 8);
    strangers_ = new QComboBox(page);
    strangers_->setObjectName(QStringLiteral("strangers"));
    // Read as words; stored as the setting's own text.
    strangers_->addItem(QStringLiteral("Ask me"), QStringLiteral("ask"));
    strangers_->addItem(QStringLiteral("Refuse"), QStringLiteral("refuse"));
    strangers_->addItem(QStringLiteral("Accept"), QStringLiteral("accept"));
    strangers_->setGeometry(units.Rect(86, 300, 40, 12));
    tabOrder << strangers_;
    strangersWarning_ = label(QStringLiteral("unsafe: anyone may send"), 130, 302, 82, 8);
    strangersWarning_->setStyleSheet(QStringLiteral("color: #b00000"));
    connect(strangers_, &QComboBox::currentIndexChanged, this, [this] {
        strangersWarning_->setVisible(strangers_->currentData() == QStringLiteral("accept"));
    });

    // The frames lie behind the controls they hold.
    for (QWidget* frame : groups) {
        frame->lower();
    }
    for (int i = 1; i < tabOrder.size(); ++i) {
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
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
    values_ = LiveSettings.Snapshot();
    for (const Binding& binding : kTexts) {
        std::string value =
            RegistryText(SettingKey(binding.name), "", true, RegRoot::CurrentUser).Get();
        if (value.empty()) {
            value = binding.fallback != nullptr ? binding.fallback : DefaultComputerName();
        }
        const QString shown = QString::fromStdString(value);
        stored_[binding.id] = {value, shown};
        Edit(binding.id)->setText(shown);
    }
    auto number = [](const char* name, uint32_t fallback) {
        return static_cast<int32_t>(
            RegistryNumber(SettingKey(name), fallback, true, RegRoot::CurrentUser).Get());
    };
    values_.useftp = number("useftp", 0);
    values_.server = number("server", 0);
    values_.manual = number("manual", 1);
    values_.auto_ = number("auto", 0);
    values_.advertisesecure = number("advertisesecure", 1);
    Box(kAdvertiseSecure)->setChecked(values_.advertisesecure != 0);
    values_.strangers =
        RegistryText(SettingKey("strangers"), "ask", true, RegRoot::CurrentUser).Get();
    const int policy = strangers_->findData(QString::fromStdString(values_.strangers));
    strangers_->setCurrentIndex(policy < 0 ? 0 : policy);
    strangersWarning_->setVisible(strangers_->currentData() == QStringLiteral("accept"));
    ShowFlags();
    DialogWindow::Centre(this);
}

void ConfigDialog::ShowFlags() {
    for (int id : {kAutomatic, kSendToAddress, kReceive, kUseFtp}) {
        Box(id)->setChecked(Flag(values_, id) != 0);
    }
}

void ConfigDialog::TakeValues() {
    for (int id : {kAutomatic, kSendToAddress, kReceive, kUseFtp}) {
        Flag(values_, id) = Box(id)->isChecked() ? 1 : 0;
    }
    values_.advertisesecure = Box(kAdvertiseSecure)->isChecked() ? 1 : 0;
    values_.strangers = strangers_->currentData().toString().toStdString();
    for (const Binding& binding : kTexts) {
        const QString text = Edit(binding.id)->text();
        const auto& [bytes, shown] = stored_[binding.id];
        values_.*binding.text = text == shown ? bytes : text.toStdString();
    }
}

void ConfigDialog::OnBoxClicked(int id) {
    if (id == kAdvertiseSecure) {
        return;  // no mode: taken at OK
    }
    const int32_t before = Flag(values_, id);
    TakeValues();
    switch (id) {
        case kAutomatic:
            values_.useftp = 0;
            values_.server = 0;
            values_.manual = 0;
            break;
        case kSendToAddress:
        case kReceive:
            values_.useftp = 0;
            values_.auto_ = 0;
            break;
        case kUseFtp:
            values_.server = 0;
            values_.manual = 0;
            values_.auto_ = 0;
            break;
    }
    ShowFlags();
    if (Flag(values_, id) != before) {
        modeChanged_ = true;
    }
}

void ConfigDialog::accept() {
    TakeValues();
    // Only now does the running program see the new mode and texts.
    LiveSettings.Assign(values_);
    QDialog::accept();
    WriteSettings();
    SettingsApplied();
}

void ConfigDialog::WriteSettings() {
    const SettingsValues& values = values_;
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
    text("computername", values.computername);
    number("advertisesecure", values.advertisesecure);
    text("strangers", values.strangers);
}

void ConfigDialog::SettingsApplied() {
    if (applied_) {
        applied_();
    }
}

void ConfigDialog::SetKnownComputers(TrustStore* store) {
    store_ = store;
    ShowComputers();
}

void ConfigDialog::ShowComputers() {
    computers_->clear();
    if (store_ == nullptr) {
        return;
    }
    std::string error;
    store_->Reload(error);  // another copy or `zingwell --forget` may have changed it
    for (const TrustEntry& entry : store_->All()) {
        const bool byKey = entry.key.rfind("a:", 0) != 0;
        auto* item = new QTreeWidgetItem(
            {QString::fromStdString(DisplayName(entry.name, 64)),
             QString::fromStdString(entry.lastAddress.empty() && !byKey ? entry.key.substr(2)
                                                                        : entry.lastAddress),
             QString::fromStdString(byKey ? entry.key.substr(2, 16) : std::string("-")),
             QString::fromStdString(entry.Describe())});
        item->setData(0, Qt::UserRole, QString::fromStdString(entry.key));
        item->setData(1, Qt::UserRole, static_cast<int>(entry.state));
        computers_->addTopLevelItem(item);
    }
    for (int column = 0; column < 3; ++column) {
        computers_->resizeColumnToContents(column);
    }
    forget_->setEnabled(false);
    switch_->setEnabled(false);
}

void ConfigDialog::SwitchComputer() {
    const QList<QTreeWidgetItem*> chosen = computers_->selectedItems();
    if (store_ == nullptr || chosen.isEmpty()) {
        return;
    }
    std::optional<TrustEntry> entry =
        store_->Find(chosen.front()->data(0, Qt::UserRole).toString().toStdString());
    if (!entry || entry->state == TrustEntry::State::Paired) {
        return;
    }
    entry->state = entry->state == TrustEntry::State::Blocked ? TrustEntry::State::Allowed
                                                              : TrustEntry::State::Blocked;
    if (!store_->Put(*entry)) {
        DialogWindow::Warning(QStringLiteral("Could not write %1; the change lasts only until "
                                             "Zingwell ends.")
                                  .arg(QString::fromStdString(store_->path())),
                              this)
            ->show();
    }
    ShowComputers();
}

void ConfigDialog::ForgetComputer() {
    const QList<QTreeWidgetItem*> chosen = computers_->selectedItems();
    if (store_ == nullptr || chosen.isEmpty()) {
        return;
    }
    const std::string key = chosen.front()->data(0, Qt::UserRole).toString().toStdString();
    if (!store_->Forget(key)) {
        DialogWindow::Warning(QStringLiteral("Could not write %1; the computer is forgotten "
                                             "only until Zingwell ends.")
                                  .arg(QString::fromStdString(store_->path())),
                              this)
            ->show();
    }
    ShowComputers();
}
