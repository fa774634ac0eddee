#pragma once

#include <QDialog>
#include <string>
#include <vector>

class MainDialog;
class QListWidget;
class QPushButton;

// The files the buddy would not take: each may go back to the end of the queue (Retry) or
// be forgotten (Remove). The list is read afresh after every change.
class NotDeliveredDialog : public QDialog {
public:
    explicit NotDeliveredDialog(MainDialog& heart, QWidget* parent = nullptr);

    QListWidget* list() const { return list_; }
    QPushButton* retryButton() const { return retry_; }
    QPushButton* removeButton() const { return remove_; }
    // Reads the list again from the heart.
    void Refresh();

private:
    // The selected entries' paths, as the heart knows them.
    std::vector<std::string> Selected() const;

    MainDialog& heart_;
    QListWidget* list_;
    QPushButton* retry_;
    QPushButton* remove_;
    std::vector<std::string> paths_;  // in the list's order
};
