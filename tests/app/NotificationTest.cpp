// Desktop notifications as they reach a real session bus (a dbus-daemon of the test's own,
// watched with dbus-monitor): what the drop window's Notify sends, and how a burst is merged.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <mutex>
#include <string>
#include <vector>

#include "core/ReceiveFolder.h"
#include "platform/Launcher.h"

#include "app/SessionBus.h"
#include "app/ZingwellCopy.h"
#include "heart/FakeWorkers.h"
#include "support/Files.h"
#include "support/Skip.h"
#include "ui/CDropWindow.h"
#include "ui/qt/PumpUntil.h"

namespace {

// A notification service of the test's own: answers Notify with an id (the one to replace, or
// a new one) and records what it was asked.
class FakeNotificationService : public QDBusVirtualObject {
public:
    struct Call {
        uint replaces = 0;
        uint id = 0;
        QString summary, body;
        QStringList actions;
    };
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QLatin1String("Notify") || message.arguments().size() != 8) {
            return false;
        }
        const QList<QVariant> args = message.arguments();
        std::lock_guard<std::mutex> guard(mutex_);
        const uint replaces = args[1].toUInt();
        calls_.push_back({replaces, replaces != 0 ? replaces : ++lastId_, args[3].toString(),
                          args[4].toString(), args[5].toStringList()});
        return connection.send(message.createReply(QVariant::fromValue(calls_.back().id)));
    }
    QString introspect(const QString&) const override { return {}; }
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    uint lastId_ = 0;
};

class OpenedPaths : public Launcher {
public:
    void OpenPath(const std::string& path) override { opened.push_back(path); }
    void OpenUrl(const std::string&) override {}
    std::vector<std::string> opened;
};

TEST(Notification, ReachesTheSessionsNotificationServiceOneASecondWithBurstsMerged) {
    if (!SessionBus::Available()) {
        ZW_SKIP_FOR_LACK_OF("dbus-daemon and dbus-monitor (packages dbus-daemon, dbus-bin)");
    }
    SessionBus bus;
    ASSERT_TRUE(bus.Start()) << bus.Seen();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    FakeWorkerFactory workers;
    CDropWindow window(workers, [](int) {});
    window.Notify("File received", "a.jpg from 10.0.0.7");
    window.Notify("File received", "b <c> & d.jpg from 10.0.0.7");
    window.Notify("Receiving failed", "e.iso from 10.0.0.8");
    auto calls = [&] { return bus.Notifications(); };
    EXPECT_TRUE(PumpUntil([&] { return calls().size() >= 2; }, kPatience)) << bus.Seen();
    PumpUntil([] { return false; }, std::chrono::milliseconds(1200));  // one more second: no more
    // Bodies may be read as markup by the service: what looks like it is escaped.
    EXPECT_EQ(calls(), (std::vector<std::pair<std::string, std::string>>{
                           {"File received", "a.jpg from 10.0.0.7"},
                           {"File received, Receiving failed",
                            "b &lt;c&gt; &amp; d.jpg from 10.0.0.7\ne.iso from 10.0.0.8"}}))
        << bus.Seen();
}

TEST(Notification, ABatchOfArrivalsIsOneNotificationUpdatedInPlaceWhoseActionsOpenWhatCame) {
    if (!SessionBus::Available()) {
        ZW_SKIP_FOR_LACK_OF("dbus-daemon and dbus-monitor (packages dbus-daemon, dbus-bin)");
    }
    SessionBus bus;
    ASSERT_TRUE(bus.Start()) << bus.Seen();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    QDBusConnection service = QDBusConnection::connectToBus(QString::fromStdString(bus.address()),
                                                            QStringLiteral("notification-service"));
    FakeNotificationService fake;
    ASSERT_TRUE(
        service.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &fake));
    ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
    OpenedPaths launcher;
    SetLauncher(&launcher);

    FakeWorkerFactory workers;
    CDropWindow window(workers, [](int) {});
    const std::string folder = GetReceiveFolder();
    window.FileArrived("x.iso", "x.iso", "10.0.0.8");
    for (char name = 'a'; name <= 'l'; ++name) {
        window.FileArrived(std::string(1, name) + ".jpg", std::string(1, name) + ".jpg",
                           "10.0.0.7");
    }
    EXPECT_TRUE(PumpUntil(
        [&] {
            return !fake.calls().empty() && fake.calls().back().summary == "12 files from 10.0.0.7";
        },
        kPatience))
        << bus.Seen();
    // The first arrival of each address is shown at once; the rest of 10.0.0.7's batch
    // replaces its notification, with the latest name.
    const std::vector<FakeNotificationService::Call> calls = fake.calls();
    ASSERT_EQ(calls.size(), 3u) << bus.Seen();
    EXPECT_EQ(calls[0].summary, "File received");
    EXPECT_EQ(calls[0].body, "x.iso from 10.0.0.8");
    EXPECT_EQ(calls[1].body, "a.jpg from 10.0.0.7");
    EXPECT_EQ(calls[1].replaces, 0u);
    EXPECT_EQ(calls[2].replaces, calls[1].id);
    EXPECT_EQ(calls[2].body, "Latest: l.jpg");
    for (const auto& call : calls) {
        EXPECT_EQ(call.actions, (QStringList{"open", "Open", "show", "Show in folder"}));
    }
    // As the bus carried them: the monitor sees the same.
    EXPECT_EQ(bus.Notifications().size(), 3u) << bus.Seen();

    // The user clicks the actions: one file opens itself, a batch its folder; another
    // program's notification is not ours.
    auto click = [&](uint id, const char* action) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        signal << id << QString::fromLatin1(action);
        service.send(signal);
    };
    click(calls[0].id, "open");
    click(calls[2].id, "open");
    click(99, "open");
    click(calls[0].id, "show");
    const std::vector<std::string> expected = {folder + "/x.iso", folder, folder};
    EXPECT_TRUE(PumpUntil([&] { return launcher.opened.size() >= expected.size(); }, kPatience));
    EXPECT_EQ(launcher.opened, expected);
    SetLauncher(nullptr);
}

}  // namespace
