#include "ui/DesktopNotifier.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <algorithm>

#include "platform/Launcher.h"

#include "core/DisplayName.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A note is one line: a name of at most 255 characters and a few words around it.
constexpr size_t kLongestNote = 512;

QDBusMessage Call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kService, method);
}

const QString kOpen = QStringLiteral("open");
const QString kShowInFolder = QStringLiteral("show");
const QString kCancelSending = QStringLiteral("cancel-sending");
// Notifications whose actions are still answered.
constexpr size_t kTargetsKept = 32;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &DesktopNotifier::ReleaseWaiting);
    sendingTimer_.setSingleShot(true);
    connect(&sendingTimer_, &QTimer::timeout, this, &DesktopNotifier::ShowSending);
    arrivalTimer_.setSingleShot(true);
    connect(&arrivalTimer_, &QTimer::timeout, this, &DesktopNotifier::SendArrivals);
    if (SessionBusAvailable()) {
        QDBusConnection::sessionBus().connect(kService, kPath, kService,
                                              QStringLiteral("ActionInvoked"), this,
                                              SLOT(OnActionInvoked(uint, QString)));
        auto* watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(Call(QStringLiteral("GetCapabilities"))), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* call) {
                    QDBusPendingReply<QStringList> reply = *call;
                    if (reply.isValid()) {
                        markup_ = reply.value().contains(QStringLiteral("body-markup"));
                    }
                    call->deleteLater();
                });
    }
}

bool DesktopNotifier::SessionBusAvailable() {
    // Without an address, the bus library would try to start a bus of its own: not for us.
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        return true;
    }
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat info {};
    return runtime.startsWith('/') && stat((runtime + "/bus").constData(), &info) == 0 &&
           S_ISSOCK(info.st_mode);
}

void DesktopNotifier::Post(const std::string& summary, const std::string& body) {
    const auto now = NotificationThrottle::Clock::now();
    // Whoever posts, nothing reaches the screen that could hide or reorder what it says; the
    // markup escape comes on top when the note is shown.
    if (auto note = throttle_.Offer(
            {DisplayName(summary, kLongestNote), DisplayName(body, kLongestNote)}, now)) {
        Show(*note);
    } else if (auto due = throttle_.NextDue(); due && !timer_.isActive()) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*due - now);
        timer_.start(std::max<int>(0, static_cast<int>(wait.count()) + 1));
    }
}

void DesktopNotifier::PostArrival(const std::string& shown, const std::string& path,
                                  const std::string& peer) {
    arrivals_.Arrive(peer, shown, path, ArrivalBatches::Clock::now());
    SendArrivals();
}

void DesktopNotifier::SendArrivals() {
    const auto now = ArrivalBatches::Clock::now();
    for (const ArrivalBatches::Update& update : arrivals_.Due(now)) {
        const QString summary = QString::fromUtf8(update.summary);
        const QString body = QString::fromUtf8(update.body);
        if (!SessionBusAvailable()) {
            arrivals_.Shown(update.peer, 0);
            ShowOnTray(summary, body);
            continue;
        }
        QDBusMessage call = Call(QStringLiteral("Notify"));
        call << QStringLiteral("Zingwell") << update.replaces << QStringLiteral("zingwell")
             << summary << (markup_ ? body.toHtmlEscaped() : body)
             << QStringList{kOpen, QStringLiteral("Open"), kShowInFolder,
                            QStringLiteral("Show in folder")}
             << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("zingwell")}} << -1;
        auto* watcher =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, update, summary, body](QDBusPendingCallWatcher* done) {
                    QDBusPendingReply<uint> reply = *done;
                    const uint id = reply.isValid() ? reply.value() : 0;
                    arrivals_.Shown(update.peer, id);
                    if (id == 0) {
                        ShowOnTray(summary, body);  // no notification service on this bus
                    } else {
                        std::erase_if(targets_, [id](const Target& t) { return t.id == id; });
                        targets_.push_back({id, update.count, update.latestPath});
                        if (targets_.size() > kTargetsKept) {
                            targets_.pop_front();
                        }
                    }
                    done->deleteLater();
                    SendArrivals();  // what came while the id was on its way
                });
    }
    if (auto due = arrivals_.NextDue()) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*due - now);
        arrivalTimer_.start(std::max<int>(0, static_cast<int>(wait.count()) + 1));
    }
}

void DesktopNotifier::PostSending(const std::string& text) {
    sendingText_ = DisplayName(text, kLongestNote);
    if (!text.empty()) {
        if (!sendingTimer_.isActive() && !sendingOnItsWay_) {
            ShowSending();
        }
        return;
    }
    sendingTimer_.stop();
    if (sendingId_ != 0 && SessionBusAvailable()) {
        QDBusMessage call = Call(QStringLiteral("CloseNotification"));
        call << sendingId_;
        QDBusConnection::sessionBus().asyncCall(call);
    }
    sendingId_ = 0;
    sendingShown_.clear();
}

void DesktopNotifier::ShowSending() {
    if (sendingText_.empty() || sendingText_ == sendingShown_ || !SessionBusAvailable()) {
        return;
    }
    sendingShown_ = sendingText_;
    const QString body = QString::fromUtf8(sendingText_);
    QDBusMessage call = Call(QStringLiteral("Notify"));
    call << QStringLiteral("Zingwell") << sendingId_ << QStringLiteral("zingwell")
         << QStringLiteral("Sending files") << (markup_ ? body.toHtmlEscaped() : body)
         << QStringList{kCancelSending, QStringLiteral("Cancel sending")}
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("zingwell")}} << -1;
    sendingOnItsWay_ = true;
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* done) {
                QDBusPendingReply<uint> reply = *done;
                sendingOnItsWay_ = false;
                if (reply.isValid() && !sendingText_.empty()) {
                    sendingId_ = reply.value();
                    sendingTimer_.start(1000);  // the next change, a second on
                } else if (reply.isValid()) {
                    sendingId_ = reply.value();
                    PostSending("");  // the batch ended while this was on its way
                }
                done->deleteLater();
            });
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action) {
    if (id != 0 && id == sendingId_ && action == kCancelSending) {
        if (onCancelSending_) {
            onCancelSending_();
        }
        return;
    }
    const auto target = std::find_if(targets_.begin(), targets_.end(),
                                     [id](const Target& t) { return t.id == id; });
    Launcher* launcher = GetLauncher();
    if (target == targets_.end() || launcher == nullptr) {
        return;  // another program's notification, or one long gone
    }
    if (action == kOpen) {
        launcher->OpenPath(target->count == 1 ? target->path : FolderOf(target->path));
    } else if (action == kShowInFolder) {
        launcher->OpenPath(FolderOf(target->path));
    }
}

void DesktopNotifier::ReleaseWaiting() {
    const auto now = NotificationThrottle::Clock::now();
    if (auto note = throttle_.Release(now)) {
        Show(*note);
    } else if (auto due = throttle_.NextDue()) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*due - now);
        timer_.start(std::max<int>(0, static_cast<int>(wait.count()) + 1));
    }
}

void DesktopNotifier::Show(const NotificationThrottle::Note& note) {
    // Names are bytes; a name that is not UTF-8 is shown as near as it can be.
    const QString summary = QString::fromUtf8(note.summary);
    const QString body = QString::fromUtf8(note.body);
    if (!SessionBusAvailable()) {
        ShowOnTray(summary, body);
        return;
    }
    QDBusMessage call = Call(QStringLiteral("Notify"));
    call << QStringLiteral("Zingwell") << 0u << QStringLiteral("zingwell") << summary
         << (markup_ ? body.toHtmlEscaped() : body) << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("zingwell")}} << -1;
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, summary, body](QDBusPendingCallWatcher* done) {
                if (done->isError()) {
                    ShowOnTray(summary, body);  // no notification service on this bus
                }
                done->deleteLater();
            });
}

void DesktopNotifier::ShowOnTray(const QString& summary, const QString& body) {
    if (tray_ && tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_->showMessage(summary, body, QSystemTrayIcon::Information);
    }
}
