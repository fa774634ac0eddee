#include "ui/QtLauncher.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMetaObject>
#include <QUrl>

namespace {
// The desktop services belong to the UI thread; a launch from elsewhere is handed to it.
void OnUiThread(const QUrl& url) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        app, [url] { QDesktopServices::openUrl(url); }, Qt::QueuedConnection);
}
}  // namespace

void QtLauncher::OpenPath(const std::string& path) {
    OnUiThread(QUrl::fromLocalFile(QString::fromStdString(path)));
}

void QtLauncher::OpenUrl(const std::string& url) {
    OnUiThread(QUrl(QString::fromStdString(url)));
}
