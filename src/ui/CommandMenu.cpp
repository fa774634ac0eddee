#include "ui/CommandMenu.h"

#include "platform/AutostartEntry.h"
#include "ui/ResourceIds.h"

CommandMenu::CommandMenu(std::function<void(int)> onCommand, QWidget* parent)
    : QMenu(QStringLiteral("File"), parent) {
    struct Item {
        const char* text;
        int command;
    };
    const Item items[] = {
        {"Send files...", resource::kCommandSendFiles},
        {"Send a folder...", resource::kCommandSendFolder},
        {"Pair with buddy...", resource::kCommandPair},
        {"Not delivered...", resource::kCommandNotDelivered},
        {"Cancel sending", resource::kCommandCancelSending},
        {"Settings...", resource::kCommandSettings},
        {"Start at login", resource::kCommandStartAtLogin},
        {"View files...", resource::kCommandViewFiles},
        {"View log...", resource::kCommandViewLog},
        {nullptr, 0},
        {"Website...", resource::kCommandWebsite},
        {"About...", resource::kCommandAbout},
        {nullptr, 0},
        {"Exit", resource::kCommandExit},
    };
    for (const Item& item : items) {
        if (item.text == nullptr) {
            addSeparator();
            continue;
        }
        QAction* action = addAction(QString::fromLatin1(item.text));
        action->setData(item.command);
        const int command = item.command;
        connect(action, &QAction::triggered, this, [this, onCommand, command] {
            onCommand(command);
            ShowCurrentState();
        });
        if (command == resource::kCommandStartAtLogin) {
            action->setCheckable(true);
            startAtLogin_ = action;
        } else if (command == resource::kCommandNotDelivered) {
            notDelivered_ = action;
        } else if (command == resource::kCommandCancelSending) {
            cancelSending_ = action;
        }
    }
    // The autostart entry may have been changed from elsewhere since the menu last opened.
    connect(this, &QMenu::aboutToShow, this, &CommandMenu::ShowCurrentState);
    ShowCurrentState();
}

void CommandMenu::SetNotDeliveredCount(std::function<size_t()> count) {
    notDeliveredCount_ = std::move(count);
    ShowCurrentState();
}

void CommandMenu::ShowCurrentState() {
    startAtLogin_->setChecked(AutostartEntry::Enabled());
    const size_t count = notDeliveredCount_ ? notDeliveredCount_() : 0;
    notDelivered_->setText(QStringLiteral("Not delivered (%1)...").arg(count));
    notDelivered_->setVisible(count > 0);
    cancelSending_->setVisible(sending_ && sending_());
}

void CommandMenu::SetSending(std::function<bool()> sending) {
    sending_ = std::move(sending);
    ShowCurrentState();
}
