#include "ui/CDropWindow.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QUrl>
#include <condition_variable>

#include "ui/Artwork.h"
#include "ui/BarkPlayer.h"
#include "ui/CommandMenu.h"
#include "ui/DialogUnits.h"
#include "ui/ResourceIds.h"

// A worker waiting for the user to close its message box.
struct CDropWindow::PendingMessage {
    std::mutex mutex;
    std::condition_variable closed;
    bool done = false;
    void Close() {
        std::lock_guard<std::mutex> guard(mutex);
        done = true;
        closed.notify_all();
    }
};

namespace {

// Local files among dropped URLs, in the order given; anything else is not ours to send.
std::vector<std::string> LocalPaths(const QMimeData* data) {
    std::vector<std::string> paths;
    if (data == nullptr || !data->hasUrls()) {
        return paths;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty()) {
            paths.push_back(url.toLocalFile().toStdString());
        }
    }
    return paths;
}

// The picture's shape: its pixels that are not pure white, gathered row by row.
QRegion ShapeOf(const QImage& picture) {
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    QRegion shape;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        auto ground = [&](int x) { return (line[x] & 0xFFFFFFu) == 0xFFFFFFu; };
        for (int x = 0; x < image.width();) {
            while (x < image.width() && ground(x))
                ++x;
            const int start = x;
            while (x < image.width() && !ground(x))
                ++x;
            if (x > start) {
                shape += QRect(start, y, x - start, 1);
            }
        }
    }
    return shape;
}

QFont DialogFont() {
    QFont font = QApplication::font();
    font.setPointSize(8);
    return font;
}

}  // namespace

CDropWindow::CDropWindow(WorkerFactory& workers, std::function<void(int)> onCommand,
                         QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      heart_(std::make_unique<MainDialog>(*this, workers)),
      onCommand_(onCommand),
      bar_(new QProgressBar(this)),
      menu_(new CommandMenu(std::move(onCommand), this)),
      bark_(new BarkPlayer(this)) {
    setWindowTitle(QStringLiteral("Zingwell"));
    setAcceptDrops(true);
    setAttribute(Qt::WA_OpaquePaintEvent);

    const DialogUnits units(DialogFont());
    setFixedSize(units.X(95), units.Y(83));
    bar_->setGeometry(units.Rect(7, 72, 80, 7));
    bar_->setRange(0, 100);
    bar_->setTextVisible(false);
    // Square, so that no corner of the window's white ground shows around it, and in the
    // dog's own colours.
    bar_->setStyleSheet(
        QStringLiteral("QProgressBar { border: 1px solid #3a2210; background: #fff3b8; }"
                       "QProgressBar::chunk { background: #2e9741; }"));
    bar_->hide();

    dogRegion_ = ShapeOf(Artwork::DogForMask());
    dogRegion_.translate(DogRect().topLeft());
    UpdateMask();

    beaconTimer_.setInterval(resource::kBeaconPeriodMs);
    // Never early: a buddy answers a known copy at most once a beacon period.
    beaconTimer_.setTimerType(Qt::PreciseTimer);
    connect(&beaconTimer_, &QTimer::timeout, this, [this] {
        if (beaconTimerRunning_) {
            heart_->OnTimer();
        }
    });

    // First shown near the top right corner, out of the way of most windows.
    if (QScreen* screen = QApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.right() - width() - 24, area.top() + 24);
    }
}

CDropWindow::~CDropWindow() {
    // Workers still waiting on a message box must not wait for a window that is gone.
    std::lock_guard<std::mutex> guard(pendingMutex_);
    for (auto& message : pending_) {
        message->Close();
    }
}

void CDropWindow::Initialize() {
    heart_->Initialize();
}

QRect CDropWindow::DogRect() const {
    return QRect((width() - Artwork::kDogSize) / 2, (height() - Artwork::kDogSize) / 2,
                 Artwork::kDogSize, Artwork::kDogSize);
}

void CDropWindow::UpdateMask() {
    // Without a compositor the white ground is cut away by the window's shape.
    QRegion shape = dogRegion_;
    if (!bar_->isHidden()) {
        shape += bar_->geometry();
    }
    setMask(shape);
}

void CDropWindow::OnUiThread(std::function<void()> fn) {
    if (QThread::currentThread() == thread()) {
        fn();
    } else {
        QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
    }
}

void CDropWindow::ShowProgressBar(bool visible) {
    OnUiThread([this, visible] {
        bar_->setVisible(visible);
        UpdateMask();
    });
}

void CDropWindow::SetProgressPosition(int percent) {
    OnUiThread([this, percent] { bar_->setValue(percent); });
}

void CDropWindow::PlayBark() {
    OnUiThread([this] { bark_->Play(); });
}

void CDropWindow::Activate() {
    OnUiThread([this] {
        raise();
        activateWindow();
    });
}

QMessageBox* CDropWindow::MakeMessageBox(const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Zingwell"), text,
                                QMessageBox::Ok, this);
    // In the middle of the screen, as message boxes are, rather than over the dog.
    box->adjustSize();
    if (QScreen* place = screen()) {
        box->move(place->availableGeometry().center() - box->rect().center());
    }
    return box;
}

void CDropWindow::ShowMessage(const std::string& text) {
    const QString message = QString::fromStdString(text);
    if (QThread::currentThread() == thread()) {
        std::unique_ptr<QMessageBox> box(MakeMessageBox(message));
        box->exec();
        return;
    }
    // Only the reporting worker waits; the window and the menus stay usable meanwhile.
    auto pending = std::make_shared<PendingMessage>();
    {
        std::lock_guard<std::mutex> guard(pendingMutex_);
        pending_.push_back(pending);
    }
    QMetaObject::invokeMethod(
        this,
        [this, message, pending] {
            QMessageBox* box = MakeMessageBox(message);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::NonModal);
            connect(box, &QObject::destroyed, [pending] { pending->Close(); });
            box->show();
        },
        Qt::QueuedConnection);
    {
        std::unique_lock<std::mutex> lock(pending->mutex);
        pending->closed.wait(lock, [&] { return pending->done; });
    }
    std::lock_guard<std::mutex> guard(pendingMutex_);
    std::erase(pending_, pending);
}

void CDropWindow::StartBeaconTimer() {
    beaconTimerRunning_ = true;
    // A Qt timer runs only on the thread that owns it.
    OnUiThread([this] { beaconTimer_.start(); });
}

bool CDropWindow::StopBeaconTimer() {
    const bool wasRunning = beaconTimerRunning_.exchange(false);
    OnUiThread([this] {
        if (!beaconTimerRunning_) {
            beaconTimer_.stop();
        }
    });
    return wasRunning;
}

void CDropWindow::Notify(const std::string&, const std::string&) {
    // Desktop notifications are not wired yet.
}

void CDropWindow::OpenSettings() {
    OnUiThread([this] { onCommand_(resource::kCommandSettings); });
}

void CDropWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.drawPixmap(DogRect().topLeft(), Artwork::DogPicture(devicePixelRatioF()));
}

void CDropWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragAnchor_ = event->position().toPoint();
    } else if (event->button() == Qt::RightButton) {
        menu_->popup(mapToGlobal(event->position().toPoint()));
    }
}

void CDropWindow::mouseMoveEvent(QMouseEvent* event) {
    // The left button alone moves the window; with Shift, Ctrl or another button it stays.
    if (event->buttons() != Qt::LeftButton ||
        (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)) != 0) {
        return;
    }
    const QPoint point = event->position().toPoint();
    if (point == dragAnchor_) {
        return;
    }
    // The anchor stays: after the move the pointer is over the same spot of the window again.
    move(pos() + (point - dragAnchor_));
}

void CDropWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!LocalPaths(event->mimeData()).empty()) {
        event->acceptProposedAction();
    }
}

void CDropWindow::dropEvent(QDropEvent* event) {
    const std::vector<std::string> paths = LocalPaths(event->mimeData());
    if (paths.empty()) {
        return;
    }
    event->acceptProposedAction();
    heart_->OnDropFiles(paths);
}
