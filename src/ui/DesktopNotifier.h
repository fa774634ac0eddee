#pragma once

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <string>

#include "ui/NotificationThrottle.h"

// Desktop notifications: through the session's notification service (the freedesktop one,
// on the session bus), else as the tray icon's balloon; nothing where there is neither (the
// activity log keeps everything). At most one a second, bursts merged. UI thread only.
class DesktopNotifier : public QObject {
public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    // The tray icon for the balloon; may be null.
    void SetTray(QSystemTrayIcon* tray) { tray_ = tray; }
    void Post(const std::string& summary, const std::string& body);

    // Whether a session bus is there to carry notifications.
    static bool SessionBusAvailable();

private:
    void Show(const NotificationThrottle::Note& note);
    void ShowOnTray(const QString& summary, const QString& body);
    void ReleaseWaiting();

    NotificationThrottle throttle_;
    QTimer timer_;
    QPointer<QSystemTrayIcon> tray_;
    // Whether the service reads the body as markup (most do); asked once.
    bool markup_ = true;
};
