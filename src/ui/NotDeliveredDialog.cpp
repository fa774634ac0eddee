#include "ui/NotDeliveredDialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "heart/MainDialog.h"
#include "ui/DialogWindow.h"

NotDeliveredDialog::NotDeliveredDialog(MainDialog& heart, QWidget* parent)
    : QDialog(parent, DialogWindow::Flags(true)), heart_(heart) {
    setWindowTitle(QStringLiteral("Zingwell: Not delivered"));
    DialogWindow::KeepRestored(this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Your buddy took the connection for these files "
                                                "but not the files:"),
                                 this));
    list_ = new QListWidget(this);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(this);
    retry_ = buttons->addButton(QStringLiteral("Retry"), QDialogButtonBox::ActionRole);
    remove_ = buttons->addButton(QStringLiteral("Remove"), QDialogButtonBox::ActionRole);
    buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(retry_, &QPushButton::clicked, this, [this] {
        for (const std::string& path : Selected()) {
            heart_.RetryNotDelivered(path);
        }
        Refresh();
    });
    connect(remove_, &QPushButton::clicked, this, [this] {
        for (const std::string& path : Selected()) {
            heart_.ForgetNotDelivered(path);
        }
        Refresh();
    });
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        const bool any = !list_->selectedItems().isEmpty();
        retry_->setEnabled(any);
        remove_->setEnabled(any);
    });
    resize(480, 240);
    Refresh();
}

void NotDeliveredDialog::Refresh() {
    paths_ = heart_.NotDelivered();
    list_->clear();
    for (const std::string& path : paths_) {
        list_->addItem(QFile::decodeName(QByteArray::fromStdString(path)));
    }
    if (!paths_.empty()) {
        list_->setCurrentRow(0);
    }
    retry_->setEnabled(!paths_.empty());
    remove_->setEnabled(!paths_.empty());
}

std::vector<std::string> NotDeliveredDialog::Selected() const {
    std::vector<std::string> selected;
    for (int row = 0; row < list_->count(); ++row) {
        if (list_->item(row)->isSelected() && static_cast<size_t>(row) < paths_.size()) {
            selected.push_back(paths_[static_cast<size_t>(row)]);
        }
    }
    return selected;
}
