#include "ui/MainFrame.h"

#include <unistd.h>
#include <QCursor>
#include <QMetaObject>
#include <QThread>

#include "core/ActivityLog.h"
#include "ui/Artwork.h"
#include "ui/CDropWindow.h"
#include "ui/CommandMenu.h"
#include "ui/DesktopNotifier.h"
#include "ui/ResourceIds.h"

MainFrame::MainFrame(WorkerFactory& workers, std::function<void(int)> onCommand)
    : workers_(workers), onCommand_(std::move(onCommand)) {
    for (uint16_t id : {resource::kIconDog, resource::kIconGreen, resource::kIconRed}) {
        icons_[id] = Artwork::Icon(id);
    }
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setToolTip(QStringLiteral("Zingwell"));
    menu_ = std::make_unique<CommandMenu>([this](int command) { OnCommand(command); });
    connect(tray_.get(), &QSystemTrayIcon::activated, this, &MainFrame::OnTrayActivated);
    notifier_ = std::make_unique<DesktopNotifier>();
    notifier_->SetTray(tray_.get());
}

MainFrame::~MainFrame() {
    dropWindow_.reset();
    tray_->hide();
}

void MainFrame::Create() {
    SetTrayIcon(resource::kIconDog, false);
    dropWindow_ =
        std::make_unique<CDropWindow>(workers_, [this](int command) { OnCommand(command); });
    dropWindow_->heart().SetIconMaker(this);
    dropWindow_->SetNotifier(notifier_.get());
    dropWindow_->SetWaitingSink(
        [this](const QString& text) { tray_->setToolTip(QStringLiteral("Zingwell: ") + text); });
    menu_->SetNotDeliveredCount(
        [this] { return dropWindow_ ? dropWindow_->heart().NotDeliveredCount() : 0; });
    menu_->SetSending([this] { return dropWindow_ && dropWindow_->heart().Sending(); });
    notifier_->SetOnCancelSending([this] { OnCommand(resource::kCommandCancelSending); });
    dropWindow_->Initialize();
    dropWindow_->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Wayland desktops, and X11 ones without a tray host.
        WriteLog("No system tray found; use the dog's own menu (right-click)\n");
    }
}

void MainFrame::SetTrayIcon(uint16_t icon, bool modify) {
    auto apply = [this, icon, modify] {
        auto found = icons_.find(icon);
        tray_->setIcon(found != icons_.end() ? found->second : QIcon());
        if (!modify) {
            tray_->show();  // without a tray host this does nothing, and the program runs on
        }
    };
    if (QThread::currentThread() == thread()) {
        apply();
    } else {
        QMetaObject::invokeMethod(this, apply, Qt::QueuedConnection);
    }
}

void MainFrame::OnCommand(int command) {
    if (command == resource::kCommandExit) {
        Exit();
    }
    if (onCommand_) {
        onCommand_(command);
    }
}

void MainFrame::Exit() {
    tray_->hide();
    if (dropWindow_) {
        dropWindow_->heart().PrepareShutdown();
    }
    fflush(nullptr);
    _exit(0);
}

void MainFrame::BringForward(const std::string& activationToken) {
    if (dropWindow_) {
        dropWindow_->BringForward(activationToken);
        dialogVisible_ = true;
    }
}

void MainFrame::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (!dropWindow_) {
        return;
    }
    if (reason == QSystemTrayIcon::Trigger) {
        dropWindow_->setVisible(!dialogVisible_);
        dialogVisible_ = !dialogVisible_;
    } else if (reason == QSystemTrayIcon::Context) {
        dropWindow_->show();
        dialogVisible_ = true;
        menu_->popup(QCursor::pos());
    }
}
