#include "ui/ConfigDialog.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <QValidator>

#include "secure/TrustStore.h"
#include "settings/InitSettings.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
#include "support/Files.h"
#include "support/TestPaths.h"
#include "ui/DialogFont.h"
#include "ui/DialogUnits.h"

namespace {

using Text = LiveSettingsStore::Text;

// Counts the times OK hands the settings to the running program, and what was stored then.
class WatchedDialog : public ConfigDialog {
public:
    int applied = 0;
    std::string storedWhenApplied;

protected:
    void SettingsApplied() override {
        ++applied;
        storedWhenApplied = ReadFile(TestPaths::UserRegistry());
    }
};

void Store(const char* name, uint32_t value) {
    RegistryNumber(SettingKey(name), 0, true, RegRoot::CurrentUser).Set(value);
}

void Store(const char* name, const char* value) {
    RegistryText(SettingKey(name), "", true, RegRoot::CurrentUser).Set(value);
}

std::string Checked(const ConfigDialog& dialog) {
    std::string out;
    for (int id : {1008, 1007, 1010, 1003}) {
        out += dialog.Box(id)->isChecked() ? "1" : "0";
    }
    return out;
}

std::string Flags(const SettingsValues& values = LiveSettings.Snapshot()) {
    return std::to_string(values.auto_) + std::to_string(values.manual) +
           std::to_string(values.server) + std::to_string(values.useftp);
}

void InForce(int automatic, int manual, int server, int ftp) {
    LiveSettings.auto_ = automatic;
    LiveSettings.manual = manual;
    LiveSettings.server = server;
    LiveSettings.useftp = ftp;
}

TEST(ConfigDialog, OpensWithTheStoredFlagsOrTheDefaults) {
    InForce(0, 1, 1, 0);
    {
        WatchedDialog fresh;
        EXPECT_EQ(Checked(fresh), "0100");  // only "Send to address:"
        EXPECT_EQ(fresh.Edit(1006)->text().toStdString(), "255.255.255.255");
        EXPECT_EQ(fresh.Edit(1011)->text().toStdString(), "6677");
        EXPECT_EQ(fresh.Edit(1015)->text().toStdString(), "6677");
        EXPECT_EQ(fresh.Edit(1014)->text().toStdString(), "");
        EXPECT_FALSE(fresh.Edit(1012)->text().isEmpty());
    }
    Store("manual", 1);
    Store("server", 1);
    Store("target", "incoming");
    LiveSettings.Set(Text::target, "untouched");
    WatchedDialog stored;
    EXPECT_EQ(Checked(stored), "0110");
    EXPECT_EQ(stored.Edit(1005)->text().toStdString(), "incoming");
    EXPECT_EQ(LiveSettings.Get(Text::target), "untouched");  // opening changes nothing in force
    EXPECT_EQ(Flags(stored.values()), "0110");
}

TEST(ConfigDialog, ABoxClickClearsTheOtherGroupsInTheDialogOnly) {
    Store("manual", 1);
    Store("server", 1);
    InForce(0, 1, 1, 0);
    WatchedDialog dialog;
    dialog.Edit(1000)->setText("ftp.local");
    dialog.Box(1003)->click();  // "Use FTP"
    EXPECT_EQ(Checked(dialog), "0001");
    EXPECT_EQ(Flags(dialog.values()), "0001");
    EXPECT_EQ(dialog.values().ftpip, "ftp.local");  // texts are taken with the click
    EXPECT_TRUE(dialog.modeChanged());
    // Nothing is dispatched by what the dialog holds until OK.
    EXPECT_EQ(Flags(), "0110");
    EXPECT_EQ(LiveSettings.Get(Text::ftpip), "");

    dialog.Box(1007)->click();  // "Send to address:"
    dialog.Box(1010)->click();  // "Receive on local port:" joins it
    EXPECT_EQ(Checked(dialog), "0110");
    dialog.Box(1008)->click();  // automatic excludes both
    EXPECT_EQ(Checked(dialog), "1000");
    dialog.accept();
    EXPECT_EQ(Flags(), "1000");
    EXPECT_EQ(LiveSettings.Get(Text::ftpip), "ftp.local");
}

TEST(ConfigDialog, UseFtpClickedTwiceLeavesNoModeAndOkAppliesIt) {
    WatchedDialog dialog;
    dialog.Box(1003)->click();
    dialog.Box(1003)->click();
    EXPECT_EQ(Checked(dialog), "0000");
    dialog.accept();
    EXPECT_EQ(Flags(), "0000");
    EXPECT_EQ(dialog.applied, 1);
}

TEST(ConfigDialog, OkWritesEveryMainSettingInOrderThenHasThemAppliedEvenWithoutAModeClick) {
    WatchedDialog dialog;
    dialog.Edit(1014)->setText("7000");
    dialog.Edit(1002)->setText("s3cret");
    dialog.accept();
    EXPECT_EQ(dialog.applied, 1);  // a port or an address alone takes effect too
    EXPECT_EQ(dialog.storedWhenApplied, ReadFile(TestPaths::UserRegistry()));
    EXPECT_EQ(ReadFile(TestPaths::UserRegistry()),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n"
              "\"servaddr\"=\"255.255.255.255\"\n\"clientport\"=\"6677\"\n"
              "\"autoport\"=\"6677\"\n\"serverport\"=\"7000\"\n\"ftpip\"=\"\"\n\"target\"=\"\"\n"
              "\"user\"=\"\"\n\"pass\"=\"s3cret\"\n\"useftp\"=dword:00000000\n"
              "\"server\"=dword:00000000\n\"auto\"=dword:00000000\n\"manual\"=dword:00000001\n"
              "\"computername\"=\"" +
                  DefaultComputerName() +
                  "\"\n\"advertisesecure\"=dword:00000001\n\"strangers\"=\"ask\"\n");
}

TEST(ConfigDialog, CancelAndEscAfterAnotherModeLeaveTheModeInForceAndWriteNothing) {
    InForce(0, 1, 1, 0);
    LiveSettings.SetBuddy("10.0.0.9", "7000");  // found by a beacon, say
    {
        WatchedDialog dialog;
        dialog.show();
        dialog.Box(1003)->click();
        dialog.Edit(1006)->setText("10.1.1.1");
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &escape);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    {
        WatchedDialog dialog;
        dialog.Box(1008)->click();
        dialog.reject();  // the close box
        EXPECT_EQ(dialog.applied, 0);
    }
    EXPECT_FALSE(FileExists(TestPaths::UserRegistry()));
    EXPECT_EQ(Flags(), "0110");
    std::string address, port;
    LiveSettings.GetBuddy(address, port);
    EXPECT_EQ(address + ":" + port, "10.0.0.9:7000");
}

TEST(ConfigDialog, StoredTextsComeBackByteForByteUnlessEdited) {
    // Written by another program, or in another encoding: not UTF-8.
    Store("user", "Jos\xE9");
    Store("target", "/d\xFCrer/<b>in</b>");
    Store("pass", "caf\xC3\xA9");  // UTF-8, shown as such
    WatchedDialog dialog;
    EXPECT_EQ(dialog.Edit(1002)->text(), QString::fromUtf8("caf\xC3\xA9"));
    dialog.Edit(1005)->setText(QString::fromUtf8("/\xC3\xA4rger"));  // the user retypes it
    dialog.accept();
    auto stored = [](const char* name) {
        return RegistryText(SettingKey(name), "", true, RegRoot::CurrentUser).Get();
    };
    EXPECT_EQ(stored("user"), "Jos\xE9");
    EXPECT_EQ(stored("pass"), "caf\xC3\xA9");
    EXPECT_EQ(stored("target"), "/\xC3\xA4rger");
    EXPECT_EQ(LiveSettings.Get(Text::user), "Jos\xE9");
}

TEST(ConfigDialog, ShrinksItsFontToFitSmallOrScaledScreensAndScrollsBeyond) {
    const QFont designed = DialogFont::Garamond(11);
    // Where it fits, the designed font stays.
    EXPECT_EQ(ConfigDialog::FittingFont(designed, QSize(1000, 700), 220, 215, 1), designed);
    // 144 dpi fonts on 1280 by 800 pixels; a 2x scale there: half the room in logical pixels.
    QFont large = designed;
    large.setPixelSize(QFontInfo(designed).pixelSize() * 3 / 2);
    const struct {
        QFont font;
        QSize room;
        qreal ratio;
    } cases[] = {{large, QSize(1280 - 16, 800 - 30 - 48), 1},
                 {designed, QSize(640 - 16, 400 - 15 - 48), 2}};
    for (const auto& [font, room, ratio] : cases) {
        const QFont fitted = ConfigDialog::FittingFont(font, room, 220, 215, ratio);
        const DialogUnits units(fitted);
        EXPECT_LE(units.X(220), room.width()) << fitted.toString().toStdString();
        EXPECT_LE(units.Y(215), room.height()) << fitted.toString().toStdString();
    }
    // Never smaller than legible: a tiny screen scrolls instead.
    const QFont tiny = ConfigDialog::FittingFont(designed, QSize(100, 100), 220, 215, 1);
    EXPECT_EQ(QFontInfo(tiny).pixelSize(), 10);

    // The dialog on this screen fits its available area.
    WatchedDialog dialog;
    dialog.show();
    const QRect area = dialog.screen()->availableGeometry();
    EXPECT_LE(dialog.width(), area.width());
    EXPECT_LE(dialog.height(), area.height());
}

TEST(ConfigDialog, FieldsAreLaidOutColouredAndRestrictedAsTheyShouldBe) {
    WatchedDialog dialog;
    EXPECT_EQ(dialog.windowTitle().toStdString(), "Zingwell Settings");
    EXPECT_EQ(dialog.Edit(1002)->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(dialog.Edit(1015)->isReadOnly());
    EXPECT_FALSE(dialog.Edit(1012)->isEnabled());
    for (int id : {1011, 1014, 1015}) {
        QString text = QStringLiteral("12a");
        int position = 0;
        EXPECT_EQ(dialog.Edit(id)->validator()->validate(text, position), QValidator::Invalid);
    }
    EXPECT_EQ(dialog.Edit(1000)->validator(), nullptr);
    EXPECT_EQ(dialog.palette().color(QPalette::Window), QColor(255, 209, 0));
    EXPECT_EQ(dialog.Box(1008)->palette().color(QPalette::WindowText), QColor(46, 151, 65));
    EXPECT_EQ(dialog.Edit(1006)->palette().color(QPalette::Text), QColor(Qt::black));
    // Left to right and top to bottom as designed: the address field right of its box.
    EXPECT_LT(dialog.Box(1007)->geometry().right(), dialog.Edit(1006)->geometry().left());
    EXPECT_LT(dialog.Edit(1006)->geometry().bottom(), dialog.Edit(1014)->geometry().bottom());
    // Tab order follows the design: the automatic box, then the manual group.
    EXPECT_EQ(dialog.Box(1008)->nextInFocusChain(), dialog.Box(1007));
    EXPECT_EQ(dialog.Edit(1001)->nextInFocusChain(), dialog.Edit(1002));
}

TEST(ConfigDialog, EveryTextFitsItsPlaceInTheFontThisDesktopHas) {
    // The layout is in dialog units of whatever serif stands in for Garamond here; a text
    // that outgrows its place would be cut off.
    WatchedDialog dialog;
    dialog.show();
    int checked = 0;
    for (QWidget* widget : dialog.findChildren<QWidget*>()) {
        QString text;
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            text = label->text();
            needed = label->sizeHint().width();
        } else if (auto* push = qobject_cast<QPushButton*>(widget)) {
            text = push->text();  // a push button's hint has a minimum width of its own
            needed = push->fontMetrics().horizontalAdvance(text) + 8;
        } else if (auto* box = qobject_cast<QCheckBox*>(widget)) {
            text = box->text();
            needed = box->sizeHint().width();
        }
        if (text.isEmpty()) {
            continue;
        }
        ++checked;
        EXPECT_LE(needed, widget->width()) << text.toStdString();
        EXPECT_LE(widget->fontMetrics().height(), widget->height()) << text.toStdString();
        EXPECT_TRUE(dialog.rect().contains(widget->geometry())) << text.toStdString();
    }
    EXPECT_EQ(checked, 20);  // 5 boxes, 4 buttons, 11 labels
}

TEST(ConfigDialog, TheKnownComputersAreListedAndOneIsForgottenAtOnce) {
    TrustStore store(TestPaths::NewFolder("known"));
    const std::string bob = "aaaabbbbcccc1111" + std::string(48, 'e');
    ASSERT_TRUE(
        store.Put({TrustEntry::KeyForHash(bob), TrustEntry::State::Paired, "10.0.0.7", "Bob"}));
    ASSERT_TRUE(
        store.Put({TrustEntry::KeyForAddress("10.0.0.9"), TrustEntry::State::Blocked, "", ""}));
    WatchedDialog dialog;
    dialog.SetKnownComputers(&store);
    QTreeWidget* list = dialog.computers();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    QTreeWidgetItem* first = list->topLevelItem(0);
    EXPECT_EQ(first->text(0).toStdString() + "|" + first->text(1).toStdString() + "|" +
                  first->text(2).toStdString() + "|" + first->text(3).toStdString(),
              "Bob|10.0.0.7|aaaabbbbcccc1111|paired");
    EXPECT_EQ(list->topLevelItem(1)->text(1).toStdString() + "|" +
                  list->topLevelItem(1)->text(3).toStdString(),
              "10.0.0.9|blocked (by address only)");
    auto* forget = dialog.findChild<QPushButton*>("forgetComputer");
    EXPECT_FALSE(forget->isEnabled());
    first->setSelected(true);
    forget->click();
    EXPECT_EQ(list->topLevelItemCount(), 1);
    std::string error;
    TrustStore reread(store.path().substr(0, store.path().rfind('/')));
    ASSERT_TRUE(reread.Reload(error));
    EXPECT_FALSE(reread.Find(TrustEntry::KeyForHash(bob)));

    // Never becomes always with one click, at once in the file.
    auto* change = dialog.findChild<QPushButton*>("switchComputer");
    list->topLevelItem(0)->setSelected(true);
    EXPECT_EQ(change->text().toStdString(), "Always");
    change->click();
    EXPECT_EQ(list->topLevelItem(0)->text(3).toStdString(), "allowed (by address only)");
    ASSERT_TRUE(reread.Reload(error));
    EXPECT_EQ(reread.Find(TrustEntry::KeyForAddress("10.0.0.9"))->state,
              TrustEntry::State::Allowed);
}

}  // namespace
