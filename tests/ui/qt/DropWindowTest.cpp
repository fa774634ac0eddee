#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <thread>

#include "core/EventCodes.h"
#include "core/ReceiveFolder.h"
#include "heart/FakeWorkers.h"
#include "settings/LiveSettings.h"
#include "support/Files.h"
#include "ui/CDropWindow.h"
#include "ui/CommandMenu.h"
#include "ui/MainFrame.h"
#include "ui/NotDeliveredDialog.h"
#include "ui/ResourceIds.h"
#include "ui/qt/PumpUntil.h"

namespace {

void SendMouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButton button,
               Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QMouseEvent event(type, QPointF(at), QPointF(widget->mapToGlobal(at)), button, buttons,
                      modifiers);
    QApplication::sendEvent(widget, &event);
}

void Settle() {
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

// Manual mode, sending to 10.0.0.7, not receiving.
void SendToBuddy() {
    LiveSettings.manual = 1;
    LiveSettings.server = 0;
    LiveSettings.auto_ = 0;
    LiveSettings.useftp = 0;
    LiveSettings.SetBuddy("10.0.0.7", "6677");
}

class DropWindowTest : public testing::Test {
protected:
    void SetUp() override {
        SendToBuddy();
        window = std::make_unique<CDropWindow>(workers, [this](int c) { commands.push_back(c); });
        window->Initialize();
        window->show();
        Settle();
    }
    FakeWorkerFactory workers;
    std::vector<int> commands;
    std::unique_ptr<CDropWindow> window;
};

TEST_F(DropWindowTest, ADropIsACopyOfLocalFilesQueuedInOrderByTheirBytes) {
    QMimeData data;
    // Names as a file manager sends them: percent-encoded bytes, one of them not UTF-8.
    data.setUrls({QUrl::fromLocalFile("/home/u/one.txt"), QUrl("https://example.com/x"),
                  QUrl::fromEncoded("file:///home/u/caf%E9%20%2550.txt"),
                  QUrl::fromEncoded("file://elsewhere.example/share/x.txt"),
                  QUrl::fromLocalFile(QString::fromUtf8("/home/u/two w\xC3\xB6rds.txt"))});
    const QPoint middle = window->rect().center();
    // The source would rather have it moved: the dog takes a copy all the same.
    QDragEnterEvent enter(middle, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
    QDropEvent drop(QPointF(middle), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    Settle();

    EXPECT_EQ(ReadFile(GetReceiveFolder() + "/Files2Send.txt"),
              "/home/u/one.txt\r\n/home/u/caf\xE9 %50.txt\r\n/home/u/two w\xC3\xB6rds.txt\r\n");
    EXPECT_EQ(workers.sender->Sent(), (std::vector<std::string>{"10.0.0.7 6677 /home/u/one.txt"}));
    EXPECT_TRUE(window->progressBar()->isVisible());
    EXPECT_EQ(window->progressBar()->value(), 100);

    // Web addresses alone, or files offered only to be moved, are not taken.
    QMimeData web;
    web.setUrls({QUrl("https://example.com/only")});
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/home/u/three.txt")});
    for (auto [mime, actions] : {std::pair<QMimeData*, Qt::DropActions>{&web, Qt::CopyAction},
                                 std::pair<QMimeData*, Qt::DropActions>{&files, Qt::MoveAction}}) {
        QDragEnterEvent refused(middle, actions, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &refused);
        EXPECT_FALSE(refused.isAccepted());
    }
}

TEST_F(DropWindowTest, OnlyALeftDragWithoutModifiersMovesTheWindow) {
    const QPoint start = window->pos();
    const QPoint anchor(40, 40);
    SendMouse(window.get(), QEvent::MouseButtonPress, anchor, Qt::LeftButton, Qt::LeftButton);
    SendMouse(window.get(), QEvent::MouseMove, anchor, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window->pos(), start);  // a click without movement
    SendMouse(window.get(), QEvent::MouseMove, anchor + QPoint(30, 12), Qt::NoButton,
              Qt::LeftButton, Qt::ControlModifier);
    EXPECT_EQ(window->pos(), start);
    SendMouse(window.get(), QEvent::MouseMove, anchor + QPoint(30, 12), Qt::NoButton,
              Qt::LeftButton | Qt::RightButton);
    EXPECT_EQ(window->pos(), start);
    SendMouse(window.get(), QEvent::MouseMove, anchor + QPoint(30, 12), Qt::NoButton,
              Qt::LeftButton);
    EXPECT_EQ(window->pos(), start + QPoint(30, 12));
    SendMouse(window.get(), QEvent::MouseButtonRelease, anchor, Qt::LeftButton, Qt::NoButton);
    SendMouse(window.get(), QEvent::MouseMove, anchor + QPoint(5, 5), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(window->pos(), start + QPoint(30, 12));
}

TEST_F(DropWindowTest, TheWindowIsCutToTheDogAndItsBar) {
    // The dog sits in the middle of the window on a white square that must not show.
    const QRect dog(QPoint((window->width() - 91) / 2, (window->height() - 91) / 2), QSize(91, 91));
    const QRegion shape = window->mask();
    EXPECT_TRUE(shape.contains(dog.center()));
    for (QPoint corner :
         {dog.topLeft(), dog.topRight(), dog.bottomLeft(), dog.bottomRight(), QPoint(0, 0)}) {
        EXPECT_FALSE(shape.contains(corner)) << corner.x() << "," << corner.y();
    }
    // Most of the square is dog, not ground, and none of it lies outside the square.
    int area = 0;
    for (const QRect& part : shape) {
        EXPECT_TRUE(dog.contains(part)) << part.x() << "," << part.y();
        area += part.width() * part.height();
    }
    EXPECT_GT(area, 91 * 91 / 3);
    EXPECT_LT(area, 91 * 91 * 3 / 4);
    EXPECT_FALSE(shape.contains(window->progressBar()->geometry().center()));

    window->ShowProgressBar(true);
    EXPECT_TRUE(window->mask().contains(window->progressBar()->geometry().center()));
    window->ShowProgressBar(false);
    EXPECT_FALSE(window->mask().contains(window->progressBar()->geometry().center()));
}

TEST_F(DropWindowTest, TheMenuHoldsTheProgramsCommandsInOrder) {
    std::vector<std::string> items;
    for (QAction* action : window->menu()->actions()) {
        items.push_back(action->isSeparator() ? "-"
                                              : action->text().toStdString() + " " +
                                                    std::to_string(action->data().toInt()));
    }
    EXPECT_EQ(items,
              (std::vector<std::string>{
                  "Send files... 32776", "Send a folder... 32781", "Pair with buddy... 32779",
                  "Not delivered (0)... 32778", "Cancel sending 32780", "Settings... 1017",
                  "Start at login 32777", "View files... 32775", "View log... 59410", "-",
                  "Website... 32774", "About... 1016", "-", "Exit 32772"}));
    EXPECT_FALSE(window->menu()->notDelivered()->isVisible());   // nothing to show
    EXPECT_FALSE(window->menu()->cancelSending()->isVisible());  // nothing being sent
    window->menu()->actions()[10]->trigger();
    EXPECT_EQ(commands, (std::vector<int>{resource::kCommandWebsite}));

    SendMouse(window.get(), QEvent::MouseButtonPress, QPoint(30, 30), Qt::RightButton,
              Qt::RightButton);
    EXPECT_TRUE(window->menu()->isVisible());
    window->menu()->hide();
}

TEST(NotDeliveredDialogTest, TheMenuCountsTheFilesAndTheDialogRetriesOrRemovesThem) {
    SendToBuddy();
    WriteFile(GetReceiveFolder() + "/NotDelivered.txt", "/d/one\r\n/d/caf\xe9\r\n/d/three\r\n");
    FakeWorkerFactory workers;
    CDropWindow window(workers, [](int) {});
    window.Initialize();
    emit window.menu()->aboutToShow();
    EXPECT_TRUE(window.menu()->notDelivered()->isVisible());
    EXPECT_EQ(window.menu()->notDelivered()->text().toStdString(), "Not delivered (3)...");

    NotDeliveredDialog dialog(window.heart());
    ASSERT_EQ(dialog.list()->count(), 3);
    // Shown as the desktop decodes the name; Retry hands back its bytes as they were.
    EXPECT_TRUE(dialog.list()->item(1)->text().startsWith(QStringLiteral("/d/caf")));
    dialog.list()->item(0)->setSelected(true);
    dialog.list()->item(1)->setSelected(true);
    dialog.retryButton()->click();
    EXPECT_EQ(workers.sender->Sent(), (std::vector<std::string>{"10.0.0.7 6677 /d/one"}));
    EXPECT_EQ(ReadFile(GetReceiveFolder() + "/Files2Send.txt"), "/d/one\r\n/d/caf\xe9\r\n");
    ASSERT_EQ(dialog.list()->count(), 1);
    dialog.list()->item(0)->setSelected(true);
    dialog.removeButton()->click();
    EXPECT_EQ(dialog.list()->count(), 0);
    EXPECT_FALSE(dialog.retryButton()->isEnabled());
    EXPECT_EQ(ReadFile(GetReceiveFolder() + "/NotDelivered.txt"), "");
    emit window.menu()->aboutToShow();
    EXPECT_FALSE(window.menu()->notDelivered()->isVisible());
    EXPECT_TRUE(window.menu()->cancelSending()->isVisible()) << "/d/one is on its way";
}

TEST_F(DropWindowTest, ViewCallsFromAWorkerReachTheWindowOnItsOwnThread) {
    std::thread worker([&] {
        window->ShowProgressBar(true);
        window->SetProgressPosition(42);
        EXPECT_FALSE(window->StopBeaconTimer());
        window->StartBeaconTimer();
    });
    worker.join();
    Settle();
    EXPECT_TRUE(window->progressBar()->isVisible());
    EXPECT_EQ(window->progressBar()->value(), 42);
    EXPECT_TRUE(window->StopBeaconTimer());
}

TEST_F(DropWindowTest, AMessageBoxHoldsOnlyTheWorkerThatReportedTheError) {
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        window->heart().ReportError(error_code::kSendFailed);
        returned = true;
    });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<QMessageBox*>(widget); found && found->isVisible()) {
                box = found;
            }
        }
        return box != nullptr;
    }));
    EXPECT_EQ(box->text().toStdString(),
              "Failed while sending - perhaps the other side has gone away?");
    EXPECT_EQ(box->windowTitle().toStdString(), "Zingwell");
    // In the middle of the screen, not over the dog.
    const QPoint middle = window->screen()->availableGeometry().center();
    EXPECT_LT((box->geometry().center() - middle).manhattanLength(), 60)
        << box->geometry().center().x() << "," << box->geometry().center().y();
    // The window still works while the box is open.
    window->SetProgressPosition(7);
    EXPECT_EQ(window->progressBar()->value(), 7);
    EXPECT_FALSE(returned);
    box->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
    worker.join();
}

TEST_F(DropWindowTest, ABuddyProblemOffersItsActionsAndSaysWhichTheUserChose) {
    std::atomic<int> chosen{-2};
    std::thread worker([&] {
        chosen =
            window->AskBuddyProblem("Bob's identity changed.", {"Retry", "Pair again", "Forget"});
    });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<QMessageBox*>(widget); found && found->isVisible()) {
                box = found;
            }
        }
        return box != nullptr;
    }));
    QStringList labels;
    QAbstractButton* forget = nullptr;
    for (QAbstractButton* button : box->buttons()) {
        labels << button->text();
        if (button->text() == QStringLiteral("Forget")) {
            forget = button;
        }
    }
    labels.sort();
    EXPECT_EQ(labels.join(u',').toStdString(), "Close,Forget,Pair again,Retry");
    EXPECT_EQ(box->button(QMessageBox::Ok), nullptr);  // never a bare "OK" to a changed key
    ASSERT_NE(forget, nullptr);
    forget->click();
    ASSERT_TRUE(PumpUntil([&] { return chosen.load() != -2; }));
    worker.join();
    EXPECT_EQ(chosen.load(), 2);
}

TEST_F(DropWindowTest, AMessageBoxOnTheUiThreadShowsPlainTextAndBlocksNoWindow) {
    // A path may hold markup; the box shows it as it is. While the box waits, nothing is
    // modal: the dog still takes a drop.
    QString seen;
    bool modal = true;
    QTimer::singleShot(0, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible()) {
                continue;
            }
            seen = box->text();
            modal = box->isModal() || QApplication::activeModalWidget() != nullptr;
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            EXPECT_FALSE(box->windowFlags() & Qt::WindowMinimizeButtonHint);
            window->QueueFiles({"/home/u/while the box is open.txt"});
            QTimer::singleShot(50, box, [box] { box->button(QMessageBox::Ok)->click(); });
        }
    });
    window->ShowMessage("Failed to open /tmp/<b>bold</b>&amp;.txt");
    Settle();
    EXPECT_EQ(seen.toStdString(), "Failed to open /tmp/<b>bold</b>&amp;.txt");
    EXPECT_FALSE(modal);
    EXPECT_NE(ReadFile(GetReceiveFolder() + "/Files2Send.txt").find("while the box is open"),
              std::string::npos);
}

TEST(MainFrameTest, TrayClicksToggleAndShowTheDropWindow) {
    SendToBuddy();
    FakeWorkerFactory workers;
    std::vector<int> commands;
    MainFrame frame(workers, [&](int c) { commands.push_back(c); });
    frame.Create();
    ASSERT_NE(frame.dropWindow(), nullptr);
    EXPECT_TRUE(frame.dropWindow()->isVisible());
    QApplication::processEvents();
    EXPECT_EQ(frame.trayIcon()->toolTip().toStdString(), "Zingwell: Nothing to send");
    EXPECT_EQ(frame.dropWindow()->toolTip().toStdString(), "Nothing to send");

    frame.OnTrayActivated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(frame.dropWindow()->isVisible());
    frame.OnTrayActivated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(frame.dropWindow()->isVisible());

    frame.OnTrayActivated(QSystemTrayIcon::Trigger);
    frame.OnTrayActivated(QSystemTrayIcon::Context);  // shows it and opens the menu
    EXPECT_TRUE(frame.dropWindow()->isVisible());
    EXPECT_TRUE(frame.trayMenu()->isVisible());
    frame.trayMenu()->hide();
    frame.OnTrayActivated(QSystemTrayIcon::Trigger);  // now hides it again
    EXPECT_FALSE(frame.dropWindow()->isVisible());
    frame.OnTrayActivated(QSystemTrayIcon::DoubleClick);  // other clicks change nothing
    EXPECT_FALSE(frame.dropWindow()->isVisible());

    frame.OnCommand(resource::kCommandAbout);
    EXPECT_EQ(commands, (std::vector<int>{resource::kCommandAbout}));
    std::thread worker([&] { frame.SetTrayIcon(resource::kIconRed, true); });
    worker.join();
    Settle();
    EXPECT_FALSE(frame.trayIcon()->icon().isNull());
}

}  // namespace
