#include <gtest/gtest.h>

#include <unistd.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "app/CAboutDlg.h"
#include "app/ZingwellApp.h"
#include "platform/AutostartEntry.h"
#include "secure/Identity.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/TestPaths.h"
#include "ui/CommandMenu.h"
#include "ui/ResourceIds.h"
#include "ui/qt/PumpUntil.h"

namespace {

TEST(AboutBox, ShowsTheVersionOnYellowWithAnOkButton) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle().toStdString(), "About Zingwell");
    auto* version = about.findChild<QLabel*>("version");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text().toStdString(), "Zingwell version 2.0.1 (beta)");
    EXPECT_EQ(about.palette().color(QPalette::Window), QColor(255, 209, 0));
    EXPECT_EQ(version->palette().color(QPalette::WindowText), QColor(26, 0, 0));
    auto* icon = about.findChild<QLabel*>("icon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    about.show();
    // Whatever serif stands in for Garamond, the lines are not cut off.
    for (QLabel* label : about.findChildren<QLabel*>()) {
        EXPECT_LE(label->sizeHint().width(), label->width()) << label->text().toStdString();
        EXPECT_TRUE(about.rect().contains(label->geometry())) << label->text().toStdString();
    }
    about.findChild<QPushButton*>("ok")->click();
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST(AboutBox, ShowsThisComputersKeyIdAndFingerprintOrThatThereIsNone) {
    EXPECT_EQ(CAboutDlg().findChild<QLabel*>("key")->text().toStdString(),
              "Secure transfers are off: this computer has no key.");
    std::string error;
    const std::optional<Identity> identity =
        Identity::LoadOrCreate(TestPaths::NewFolder("key"), error);
    ASSERT_TRUE(identity) << error;
    CAboutDlg about(&*identity);
    const std::string fingerprint = Identity::Fingerprint(identity->keyHash());
    EXPECT_EQ(about.findChild<QLabel*>("key")->text().toStdString(),
              "Key id: " + identity->keyId() + "\nFingerprint: " + fingerprint.substr(0, 39) +
                  "\n" + fingerprint.substr(40));
    about.show();
    QLabel* key = about.findChild<QLabel*>("key");
    EXPECT_LE(key->sizeHint().width(), key->width());
    EXPECT_LE(key->sizeHint().height(), key->height());
}

TEST(AboutBox, TheWebsiteCommandFindsTheGuideWhereverTheProgramIsInstalled) {
    // Installed under some prefix: the guide beside the program wins.
    const std::string prefix = TestPaths::NewFolder("prefix");
    const std::string guide = prefix + "/share/doc/zingwell/guide/index.html";
    ASSERT_EQ(RunShell("mkdir -p '" + prefix + "/bin' '" + prefix + "/share/doc/zingwell/guide'"),
              0);
    WriteFile(guide, "<html></html>");
    EXPECT_EQ(ZingwellApp::GuidePath(QString::fromStdString(prefix + "/bin")).toStdString(), guide);
    // Run from the build folder, it opens the configured installation's or the source tree's.
    const QString fallback = ZingwellApp::GuidePath(QString());
    EXPECT_TRUE(fallback.endsWith(QStringLiteral("/guide/index.html"))) << fallback.toStdString();
}

TEST(Menu, StartAtLoginWritesAndRemovesTheAutostartEntryAndShowsWhatIsThere) {
    CommandMenu menu([](int command) {
        if (command == resource::kCommandStartAtLogin) {
            ZingwellApp::ToggleStartAtLogin();
        }
    });
    QAction* item = menu.startAtLogin();
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isCheckable());
    EXPECT_FALSE(item->isChecked());

    item->trigger();
    const std::string entry = ReadFile(AutostartEntry::Path());
    EXPECT_NE(entry.find("\nExec=" + AutostartEntry::RunningProgram() + "\n"), std::string::npos)
        << entry;
    EXPECT_TRUE(item->isChecked());

    // Removed behind the program's back: the menu says so when it next opens.
    unlink(AutostartEntry::Path().c_str());
    menu.popup(QPoint(10, 10));
    EXPECT_FALSE(item->isChecked());
    menu.hide();
    item->trigger();
    EXPECT_TRUE(FileExists(AutostartEntry::Path()));
    item->trigger();
    EXPECT_FALSE(FileExists(AutostartEntry::Path()));
    EXPECT_FALSE(item->isChecked());
}

TEST(SendFiles, AChosenNameThatIsNotUtf8IsFoundAgainByItsBytes) {
    const std::string folder = TestPaths::NewFolder("chosen");
    const std::string latin = folder + "/caf\xE9 menu.txt";
    WriteFile(latin, "x");
    WriteFile(folder + "/plain.txt", "y");
    // A chooser that knows names only as text hands back the name mangled...
    const QUrl mangled = QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(latin)));
    EXPECT_EQ(ZingwellApp::ChosenFile(mangled), latin);
    // ...while a file manager's URL carries the bytes, and a plain name is as it is.
    EXPECT_EQ(ZingwellApp::ChosenFile(QUrl::fromEncoded(
                  "file://" + QByteArray::fromStdString(latin).toPercentEncoding("/"))),
              latin);
    EXPECT_EQ(
        ZingwellApp::ChosenFile(QUrl::fromLocalFile(QString::fromStdString(folder + "/plain.txt"))),
        folder + "/plain.txt");
    // Two names that read alike: no guess.
    WriteFile(folder + "/caf\xE8 menu.txt", "z");
    EXPECT_NE(ZingwellApp::ChosenFile(mangled), latin);
}

// The typed path, through the real menu on a display: DesktopTest.
TEST(SendFiles, TheChooserQueuesADoubleClickedFileAndWhatANativeOneSaysTwiceOnce) {
    const std::string folder = TestPaths::NewFolder("chooser");
    WriteFile(folder + "/one.txt", "1");
    std::vector<std::vector<std::string>> chosen;
    QPointer<QFileDialog> chooser = ZingwellApp::NewFileChooser(
        [&](std::vector<std::string> paths) { chosen.push_back(std::move(paths)); });
    chooser->setDirectory(QString::fromStdString(folder));
    chooser->show();
    // The list or the detailed view (not their headers), whichever the chooser shows, once
    // it has the file.
    QAbstractItemView* list = nullptr;
    QModelIndex one;
    ASSERT_TRUE(PumpUntil(
        [&] {
            for (auto* view : chooser->findChildren<QAbstractItemView*>()) {
                const QModelIndex root = view->rootIndex();
                const bool files = view->isVisible() && view->objectName().endsWith("View");
                for (int row = 0; files && row < view->model()->rowCount(root); ++row) {
                    if (view->model()->index(row, 0, root).data().toString() == "one.txt") {
                        list = view;
                        one = view->model()->index(row, 0, root);
                    }
                }
            }
            return one.isValid() && !list->visualRect(one).isEmpty();
        },
        std::chrono::seconds(30)));
    const QPoint at = list->visualRect(one).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(chosen, (std::vector<std::vector<std::string>>{{folder + "/one.txt"}}));

    // A native dialog says what was chosen as URLs and then as names.
    chooser = ZingwellApp::NewFileChooser(
        [&](std::vector<std::string> paths) { chosen.push_back(std::move(paths)); });
    const QString path = QString::fromStdString(folder + "/one.txt");
    emit chooser->urlsSelected({QUrl::fromLocalFile(path)});
    emit chooser->filesSelected({path});
    EXPECT_EQ(chosen.size(), 2u);
    delete chooser;
}

}  // namespace
