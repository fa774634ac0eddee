#pragma once

#include <QApplication>
#include <memory>

#include "ui/MainFrame.h"
#include "ui/QtLauncher.h"
#include "ui/RealWorkerFactory.h"

class QSocketNotifier;

// The program: starts the network layer, the settings and the main frame, and carries out
// the menu's commands (Exit belongs to the main frame).
class ZingwellApp : public QApplication {
public:
    ZingwellApp(int& argc, char** argv);
    ~ZingwellApp() override;

    // Start-up; false ends the program.
    bool InitInstance();
    void OnCommand(int command);

    MainFrame* frame() const { return frame_.get(); }

    // Where "Website..." leads: the user guide installed beside the program in
    // programFolder, else the one of the configured installation, else the source tree's
    // (a program run from its build folder). Empty when there is none.
    static QString GuidePath(const QString& programFolder);

private:
    // SIGTERM, SIGINT and SIGHUP end the program as Exit does, leave beacon included.
    void WatchSignals();

    QtLauncher launcher_;
    RealWorkerFactory workers_;
    std::unique_ptr<MainFrame> frame_;
    QSocketNotifier* signalNotifier_ = nullptr;
};
