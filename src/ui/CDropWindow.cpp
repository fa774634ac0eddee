#include "ui/CDropWindow.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <condition_variable>

#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "ui/Artwork.h"
#include "ui/BarkPlayer.h"
#include "ui/CommandMenu.h"
#include "ui/DesktopNotifier.h"
#include "ui/DialogUnits.h"
#include "ui/DialogWindow.h"
#include "ui/DogPlacement.h"
#include "ui/ResourceIds.h"
#include "ui/X11Desktop.h"

// A worker waiting for the user to close its message box.
struct CDropWindow::PendingMessage {
    std::mutex mutex;
    std::condition_variable closed;
    bool done = false;
    int chosen = -1;  // guarded by mutex
    void Choose(int index) {
        std::lock_guard<std::mutex> guard(mutex);
        chosen = index;
    }
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
        if (std::string path = CDropWindow::LocalPath(url); !path.empty()) {
            paths.push_back(std::move(path));
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

std::string CDropWindow::LocalPath(const QUrl& url) {
    if (url.scheme() != QLatin1String("file")) {
        return "";
    }
    const QString host = url.host();
    if (!host.isEmpty() && host != QLatin1String("localhost") &&
        host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) != 0) {
        return "";
    }
    // The percent-encoded path carries the name's bytes as they are, UTF-8 or not.
    const QByteArray bytes =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return bytes.startsWith('/') ? bytes.toStdString() : std::string();
}

CDropWindow::CDropWindow(WorkerFactory& workers, std::function<void(int)> onCommand,
                         QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      heart_(std::make_unique<MainDialog>(*this, workers)),
      onCommand_(onCommand),
      bar_(new QProgressBar(this)),
      menu_(new CommandMenu(std::move(onCommand), this)),
      bark_(new BarkPlayer(this)),
      ownNotifier_(new DesktopNotifier(this)),
      notifier_(ownNotifier_),
      wayland_(QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    setWindowTitle(QStringLiteral("Zingwell"));
    setAcceptDrops(true);
    if (wayland_) {
        // A compositor shows the ground as it is painted: left transparent.
        setAttribute(Qt::WA_TranslucentBackground);
    } else {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

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
    menu_->SetNotDeliveredCount([this] { return heart_ ? heart_->NotDeliveredCount() : 0; });
    menu_->SetSending([this] { return heart_ && heart_->Sending(); });

    dogRegion_ = ShapeOf(Artwork::DogForMask());
    dogRegion_.translate(DogRect().topLeft());
    UpdateMask();

    beaconTimer_.setInterval(static_cast<int>(heart_->beaconPeriod().count()));
    // Never early: a buddy answers a known copy at most once a beacon period.
    beaconTimer_.setTimerType(Qt::PreciseTimer);
    connect(&beaconTimer_, &QTimer::timeout, this, [this] {
        if (beaconTimerRunning_) {
            heart_->OnTimer();
        }
    });

    // Where the user last put it, if that is on a screen now; else near the top right
    // corner, out of the way of most windows.
    QPoint place(0, 0);
    QList<QRect> areas;
    for (QScreen* screen : QGuiApplication::screens()) {
        areas << screen->availableGeometry();
    }
    if (QScreen* screen = QApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        place = QPoint(area.right() - width() - 24, area.top() + 24);
    }
    if (!wayland_) {
        place = DogPlacement::Choose(DogPlacement::Load(), size(), areas, place);
    }
    move(place);
}

CDropWindow::~CDropWindow() {
    // Workers waiting on a message box are let go, and no new box is opened...
    {
        std::lock_guard<std::mutex> guard(pendingMutex_);
        closing_ = true;
        for (auto& message : pending_) {
            message->Close();
        }
    }
    beaconTimerRunning_ = false;
    beaconTimer_.stop();
    // ...then the heart stops and joins its workers while all they may call still exists.
    heart_.reset();
}

void CDropWindow::Initialize() {
    heart_->Initialize();
}

void CDropWindow::QueueFiles(const std::vector<std::string>& paths) {
    // Not inside the caller's event: a drop must be answered at once, whatever the heart
    // then shows.
    QMetaObject::invokeMethod(
        this,
        [this, paths] {
            if (heart_) {
                heart_->OnDropFiles(paths);
            }
        },
        Qt::QueuedConnection);
}

void CDropWindow::BringForward(const std::string& activationToken) {
    show();
    raise();
    if (activationToken.empty()) {
        activateWindow();
        return;
    }
    // The Wayland platform takes the token from the environment when asked to activate, and
    // it must not reach the programs opened for the user later.
    qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(activationToken));
    activateWindow();
    qunsetenv("XDG_ACTIVATION_TOKEN");
    WriteLog("Asked to come forward, with an activation token\n");
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
        update();
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

void CDropWindow::ShowMessage(const std::string& text) {
    Ask(text, {});
}

int CDropWindow::AskBuddyProblem(const std::string& text, const std::vector<std::string>& actions) {
    return Ask(text, actions);
}

ConsentQuestion::Choice CDropWindow::AskConsent(const ConsentQuestion& question) {
    using Choice = ConsentQuestion::Choice;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        question.deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return Choice::Unanswered;
    }
    std::string text =
        question.computer + (question.byAddress ? " (by address only)" : " (not verified)") +
        " wants to send you " + question.file + " (" + std::to_string(question.size) + " bytes).";
    if (question.count > 1) {
        text += " " + std::to_string(question.count) + " files wait.";
    }
    text += "\n\nTake it?";
    const int chosen = Ask(
        text, {"Accept", "Decline", "Always from this computer", "Never from this computer"}, left);
    static constexpr Choice kChoices[] = {Choice::Accept, Choice::Decline, Choice::Always,
                                          Choice::Never};
    if (chosen >= 0 && chosen < 4) {
        return kChoices[chosen];
    }
    return std::chrono::steady_clock::now() >= question.deadline ? Choice::Unanswered
                                                                 : Choice::Decline;
}

int CDropWindow::AskSendTo(const std::string& text) {
    return Ask(text, {"Send", "Not this computer"});
}

int CDropWindow::Ask(const std::string& text, const std::vector<std::string>& actions,
                     std::chrono::milliseconds closeAfter) {
    const QString message = QString::fromStdString(text);
    auto pending = std::make_shared<PendingMessage>();
    {
        std::lock_guard<std::mutex> guard(pendingMutex_);
        if (closing_) {
            return -1;
        }
        pending_.push_back(pending);
    }
    auto open = [this, message, pending, actions, closeAfter] {
        QMessageBox* box = DialogWindow::Warning(message, this);
        if (closeAfter.count() > 0) {
            QTimer::singleShot(closeAfter, box, [box] { box->close(); });
        }
        if (!actions.empty()) {
            box->setStandardButtons(QMessageBox::NoButton);
            for (size_t i = 0; i < actions.size(); ++i) {
                QPushButton* button =
                    box->addButton(QString::fromStdString(actions[i]), QMessageBox::ActionRole);
                connect(button, &QPushButton::clicked, box,
                        [pending, i] { pending->Choose(static_cast<int>(i)); });
            }
            box->addButton(QMessageBox::Close);
        }
        connect(box, &QObject::destroyed, [pending] { pending->Close(); });
        box->show();
        return box;
    };
    if (QThread::currentThread() == thread()) {
        // Not modal: the dog, the menus and the tray stay usable while the box waits.
        QPointer<CDropWindow> alive(this);
        QEventLoop loop;
        connect(open(), &QObject::destroyed, &loop, &QEventLoop::quit);
        loop.exec();
        if (!alive) {
            return -1;
        }
    } else {
        // Only the reporting worker waits.
        QMetaObject::invokeMethod(this, open, Qt::QueuedConnection);
        std::unique_lock<std::mutex> lock(pending->mutex);
        pending->closed.wait(lock, [&] { return pending->done; });
    }
    std::lock_guard<std::mutex> guard(pendingMutex_);
    std::erase(pending_, pending);
    std::lock_guard<std::mutex> chosen(pending->mutex);
    return pending->chosen;
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

void CDropWindow::Notify(const std::string& summary, const std::string& body) {
    OnUiThread([this, summary, body] { notifier_->Post(summary, body); });
}

void CDropWindow::ShowWaiting(const std::string& text) {
    OnUiThread([this, text] {
        const QString shown = QString::fromStdString(text);
        setToolTip(shown);
        if (waitingSink_) {
            waitingSink_(shown);
        }
    });
}

void CDropWindow::ShowSending(const std::string& text) {
    OnUiThread([this, text] {
        if (!text.empty()) {
            const QString shown = QString::fromStdString(text);
            setToolTip(shown);
            if (waitingSink_) {
                waitingSink_(shown);
            }
        }
        notifier_->PostSending(text);
    });
}

void CDropWindow::FileArrived(const std::string& name, const std::string& shown,
                              const std::string& peerAddress) {
    const std::string path = GetReceiveFolder() + "/" + name;
    OnUiThread(
        [this, shown, path, peerAddress] { notifier_->PostArrival(shown, path, peerAddress); });
}

void CDropWindow::OpenSettings() {
    OnUiThread([this] { onCommand_(resource::kCommandSettings); });
}

void CDropWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (wayland_) {
        // Only the dog (and the bar) are painted; the rest stays see-through.
        QRegion shape = dogRegion_;
        if (!bar_->isHidden()) {
            shape += bar_->geometry();
        }
        painter.setClipRegion(shape);
    }
    painter.fillRect(rect(), Qt::white);
    if (dogPicture_.isNull() || dogPicture_.devicePixelRatio() != devicePixelRatioF()) {
        dogPicture_ = Artwork::DogPicture(devicePixelRatioF());
    }
    painter.drawPixmap(DogRect().topLeft(), dogPicture_);
}

void CDropWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // On every workspace, asked for once the window manager has the window.
    QTimer::singleShot(0, this, [this] { X11Desktop::ShowOnAllDesktops(this); });
}

void CDropWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragAnchor_ = event->position().toPoint();
        moved_ = false;
        // Under Wayland only the compositor may move a window.
        if (wayland_ && windowHandle() != nullptr) {
            windowHandle()->startSystemMove();
        }
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
    moved_ = true;
}

void CDropWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && moved_) {
        moved_ = false;
        DogPlacement::Save(pos());  // for the next start
    }
}

bool CDropWindow::Acceptable(QDropEvent* event) {
    // A drop is a copy: the files stay where they are until they have been sent.
    return (event->possibleActions() & Qt::CopyAction) != 0 &&
           !LocalPaths(event->mimeData()).empty();
}

void CDropWindow::dragEnterEvent(QDragEnterEvent* event) {
    dragMoveEvent(event);
}

void CDropWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (Acceptable(event)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void CDropWindow::dropEvent(QDropEvent* event) {
    if (!Acceptable(event)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    QueueFiles(LocalPaths(event->mimeData()));
}
