#pragma once

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>

#include "ui/ArrivalBatches.h"
#include "ui/NotificationThrottle.h"

// Desktop notifications: through the session's notification service (the freedesktop one,
// on the session bus), else as the tray icon's balloon; nothing where there is neither (the
// activity log keeps everything). At most one a second, bursts merged. UI thread only.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    // The tray icon for the balloon; may be null.
    void SetTray(QSystemTrayIcon* tray) { tray_ = tray; }
    void Post(const std::string& summary, const std::string& body);
    // A file received, kept at path: one notification per batch from the peer, updated in
    // place, with "Open" (the file, or the receive folder for several) and "Show in folder".
    void PostArrival(const std::string& shown, const std::string& path, const std::string& peer);

    // A batch under way: one notification, updated in place at most once a second, with
    // "Cancel sending"; empty text closes it. Only where a notification service is.
    void PostSending(const std::string& text);
    void SetOnCancelSending(std::function<void()> cancel) { onCancelSending_ = std::move(cancel); }

    // Whether a session bus is there to carry notifications.
    static bool SessionBusAvailable();

private slots:
    void OnActionInvoked(uint id, const QString& action);

private:
    // What a notification's actions open.
    struct Target {
        uint id = 0;
        int count = 0;
        std::string path;
    };
    void SendArrivals();
    void Show(const NotificationThrottle::Note& note);
    void ShowOnTray(const QString& summary, const QString& body);
    void ReleaseWaiting();
    void ShowSending();

    NotificationThrottle throttle_;
    QTimer timer_;
    ArrivalBatches arrivals_;
    QTimer arrivalTimer_;
    std::deque<Target> targets_;  // the latest few, newest last
    QPointer<QSystemTrayIcon> tray_;
    std::string sendingText_, sendingShown_;
    uint sendingId_ = 0;
    bool sendingOnItsWay_ = false;
    QTimer sendingTimer_;
    std::function<void()> onCancelSending_;
    // Whether the service reads the body as markup (most do); asked once.
    bool markup_ = true;
};
