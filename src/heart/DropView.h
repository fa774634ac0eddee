#pragma once

#include <string>
#include <vector>

#include "heart/ConsentQuestion.h"

// What the drop window's heart needs of the screen. The desktop layer implements it; every
// call may come from any thread and, but for ShowMessage, must return without waiting for
// the UI thread.
class DropView {
public:
    virtual ~DropView() = default;

    virtual void ShowProgressBar(bool visible) = 0;
    // 0 to 100.
    virtual void SetProgressPosition(int percent) = 0;
    virtual void PlayBark() = 0;
    // Makes the drop window the active window.
    virtual void Activate() = 0;
    // A message box with an OK button and the caption "Zingwell"; returns when it is closed.
    virtual void ShowMessage(const std::string& text) = 0;
    // A problem with a buddy the user decides on: a box with the text and one button per
    // action; returns the index of the one chosen (-1: closed without one). Waits as
    // ShowMessage does.
    virtual int AskBuddyProblem(const std::string& text, const std::vector<std::string>& actions) {
        (void)actions;
        ShowMessage(text);
        return -1;
    }
    // A stranger's file waits: the user accepts it, declines it, or decides for the computer.
    // Called on a receiving thread; returns the answer, Unanswered once the question's
    // deadline passed (the box then goes). Without a way to ask, nothing comes in.
    virtual ConsentQuestion::Choice AskConsent(const ConsentQuestion& question) {
        (void)question;
        return ConsentQuestion::Choice::Decline;
    }
    // Discovery found a computer that is neither paired nor confirmed: may the queue go to it?
    // text is the whole question. 0: Send, 1: Not this computer, -1: no answer (closed, or
    // no way to ask: nothing goes).
    virtual int AskSendTo(const std::string& text) {
        (void)text;
        return -1;
    }
    // The beacon timer, every beacon period (the heart's; 10 seconds): (re)starts it.
    virtual void StartBeaconTimer() = 0;
    // Stops it; true when it was running.
    virtual bool StopBeaconTimer() = 0;
    // A desktop notification: a short summary and a line of detail, for what the user should
    // hear of without a box (a file arrived, a transfer failed). The view may merge bursts.
    virtual void Notify(const std::string& summary, const std::string& body) = 0;
    // A file from a buddy, kept in the receive folder under name (shown: the name as the user
    // may read it). A view that gathers arrivals into batches says so its own way.
    virtual void FileArrived(const std::string& name, const std::string& shown,
                             const std::string& peerAddress) {
        (void)name;
        Notify("File received", shown + " from " + peerAddress);
    }
    // Opens the settings dialog, as the menu's "Settings..." does (e.g. when no buddy is set).
    virtual void OpenSettings() = 0;
    // What waits to go out, for the dog's and the tray's tooltips ("3 files wait for
    // 10.0.0.2", "Nothing to send").
    virtual void ShowWaiting(const std::string& text) = 0;
    // A batch under way ("Sending file 3 of 1000 to ..."), for the dog's tooltip and the
    // batch's notification, updated in place; empty: the batch is over.
    virtual void ShowSending(const std::string& text) {
        if (!text.empty()) {
            ShowWaiting(text);
        }
    }
};
