// Pairing on the desktop: two copies' pairing desks in one process, over a real receiver on
// loopback, answered by clicks while the UI thread keeps running; and the questions' texts.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <future>

#include "PumpUntil.h"
#include "secure/Identity.h"
#include "secure/TrustStore.h"
#include "support/TestPaths.h"
#include "transfer/SListener.h"
#include "ui/PairingDesk.h"
#include "ui/QtPairingPrompt.h"

namespace {

// The visible box whose text holds `part`, if any.
QMessageBox* FindBox(const QString& part) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible() && box->text().contains(part)) {
            return box;
        }
    }
    return nullptr;
}

int CountBoxes(const QString& part) {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        count += box != nullptr && box->isVisible() && box->text().contains(part) ? 1 : 0;
    }
    return count;
}

bool Click(const QString& part, const QString& button) {
    QMessageBox* box = nullptr;
    if (!PumpUntil([&] { return (box = FindBox(part)) != nullptr; })) {
        return false;
    }
    for (QAbstractButton* candidate : box->buttons()) {
        if (candidate->text() == button) {
            candidate->click();
            return true;
        }
    }
    return false;
}

TEST(PairingWindows, QuestionsNameThePeerAndAnswerOnceOrNoWhenCancelled) {
    QtPairingPrompt prompt;
    auto asked = std::async(std::launch::async,
                            [&] { return prompt.AskToPair("evil\x1b[2Jname", "10.0.0.9"); });
    ASSERT_TRUE(Click("evil?[2Jname at 10.0.0.9 wants to pair with this computer.", "Decline"));
    EXPECT_FALSE(asked.get());

    auto code = std::async(std::launch::async,
                           [&] { return prompt.ConfirmCode("123 456", "", "10.0.0.9"); });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = FindBox(QStringLiteral("123 456"))) != nullptr; }));
    EXPECT_TRUE(box->text().contains(QStringLiteral("Do the codes match?")));
    EXPECT_TRUE(box->text().contains(QStringLiteral("10.0.0.9 at 10.0.0.9")));  // no name: address
    EXPECT_EQ(box->informativeText(),
              QStringLiteral("If the codes differ, someone may be listening in between: choose "
                             "No, and nothing is paired."));
    prompt.Cancel();
    EXPECT_FALSE(code.get());
    EXPECT_TRUE(PumpUntil([&] { return FindBox(QStringLiteral("123 456")) == nullptr; }));
    EXPECT_FALSE(prompt.ConfirmCode("123 456", "x", "10.0.0.9"));  // cancelled for good
}

TEST(PairingWindows, TwoDesksPairByClicksAndPinEachOther) {
    std::string error;
    std::optional<Identity> alice = Identity::LoadOrCreate(TestPaths::NewFolder("alice"), error);
    std::optional<Identity> bob = Identity::LoadOrCreate(TestPaths::NewFolder("bob"), error);
    ASSERT_TRUE(alice && bob) << error;
    TrustStore aliceTrust(TestPaths::NewFolder("alice-trust"));
    TrustStore bobTrust(TestPaths::NewFolder("bob-trust"));
    ASSERT_TRUE(aliceTrust.Reload(error) && bobTrust.Reload(error)) << error;
    PairingDesk aliceDesk(*alice, aliceTrust);
    PairingDesk bobDesk(*bob, bobTrust);
    SListener listener;
    listener.SetIdentity(&*bob, "bob");
    listener.SetPairing(&bobDesk.responder());
    listener.Start(0);
    ASSERT_TRUE(PumpUntil([&] { return listener.BoundPort() != 0; }));

    EXPECT_FALSE(aliceDesk.PairWith(QStringLiteral("not an address")));
    ASSERT_TRUE(aliceDesk.PairWith(QStringLiteral("127.0.0.1:%1").arg(listener.BoundPort())));
    ASSERT_TRUE(Click("at 127.0.0.1 wants to pair with this computer.", "Accept"));
    // Both screens show the code; each user says Yes on its own.
    ASSERT_TRUE(PumpUntil([&] { return CountBoxes(QStringLiteral("Do the codes match?")) == 2; }));
    QMessageBox* first = FindBox(QStringLiteral("Pairing with bob"));
    ASSERT_NE(first, nullptr);
    const QString code = first->text().section(QStringLiteral("bold\">"), 1).left(7);
    EXPECT_EQ(CountBoxes(code), 2) << code.toStdString();  // the same code on both screens
    ASSERT_TRUE(Click("Pairing with bob", "Yes"));
    ASSERT_TRUE(Click("Do the codes match?", "Yes"));
    ASSERT_TRUE(PumpUntil([&] { return FindBox(QStringLiteral("Paired with bob")) != nullptr; }));
    EXPECT_FALSE(aliceDesk.running());
    EXPECT_TRUE(PumpUntil([&] { return listener.ActiveConnections() == 0; }));
    EXPECT_TRUE(aliceTrust.Find(TrustEntry::KeyForHash(bob->keyHash())));
    EXPECT_TRUE(bobTrust.Find(TrustEntry::KeyForHash(alice->keyHash())));
    FindBox(QStringLiteral("Paired with bob"))->close();
}

}  // namespace
