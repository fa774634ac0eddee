#include "ui/DialogWindow.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

namespace {

// Moves the window, frame and all, wholly onto the available area of its screen (a window
// manager may place it otherwise than asked, e.g. under a scaled screen).
void KeepOnScreen(QWidget* window) {
    QScreen* screen = window->screen();
    if (screen == nullptr || !window->isVisible()) {
        return;
    }
    const QRect area = screen->availableGeometry();
    const QRect frame = window->frameGeometry();
    QPoint shift;
    if (frame.right() > area.right()) {
        shift.rx() = area.right() - frame.right();
    }
    if (frame.bottom() > area.bottom()) {
        shift.ry() = area.bottom() - frame.bottom();
    }
    if (frame.left() + shift.x() < area.left()) {
        shift.rx() = area.left() - frame.left();
    }
    if (frame.top() + shift.y() < area.top()) {
        shift.ry() = area.top() - frame.top();
    }
    if (!shift.isNull()) {
        window->move(window->pos() + shift);
    }
}

class Restorer : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = qobject_cast<QWidget*>(watched);
        if (window != nullptr && event->type() == QEvent::Show) {
            placing_ = true;
            QTimer::singleShot(1000, this, [this] { placing_ = false; });
        }
        // Wherever the window manager puts it when it frames it (later moves are the user's).
        if (window != nullptr && placing_ &&
            (event->type() == QEvent::Show || event->type() == QEvent::Move)) {
            QTimer::singleShot(0, window, [window] { KeepOnScreen(window); });
        }
        if (window != nullptr && event->type() == QEvent::WindowStateChange &&
            window->isMinimized()) {
            // Once the window manager has finished minimising it.
            QTimer::singleShot(0, window, [window] {
                window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
                window->show();
                window->raise();
                window->activateWindow();
            });
        }
        return false;
    }

private:
    bool placing_ = false;
};

}  // namespace

Qt::WindowFlags DialogWindow::Flags(bool closeBox, bool stayOnTop) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (closeBox) {
        flags |= Qt::WindowCloseButtonHint;
    }
    if (stayOnTop) {
        flags |= Qt::WindowStaysOnTopHint;
    }
    return flags;
}

void DialogWindow::KeepRestored(QWidget* window) {
    window->installEventFilter(new Restorer(window));
}

void DialogWindow::Centre(QWidget* window) {
    QScreen* screen =
        window->screen() != nullptr ? window->screen() : QApplication::primaryScreen();
    if (screen != nullptr) {
        window->move(screen->availableGeometry().center() - window->rect().center());
    }
}

QMessageBox* DialogWindow::Warning(const QString& text, QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Zingwell"), text,
                                QMessageBox::Ok, parent, Flags(true, true));
    // A path in the text may hold anything, markup included.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    KeepRestored(box);
    box->adjustSize();
    Centre(box);
    return box;
}
