// The drop window goes while its real workers are busy: a file going out to a buddy that has
// stopped reading, one coming in that has stopped arriving, and a worker waiting on a message
// box. Its heart must stop and join them before anything they call is gone (run under ASan).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <thread>

#include "core/EventCodes.h"
#include "heart/RealWorkerFactory.h"
#include "settings/LiveSettings.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/WireFormat.h"
#include "ui/CDropWindow.h"
#include "ui/qt/PumpUntil.h"

namespace {

bool BoxShown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible()) {
            return true;
        }
    }
    return false;
}

TEST(DropWindowTearDown, StopsRealWorkersMidTransferAndOneWaitingOnAMessageBox) {
    ZW_ENTER_OWN_NETWORK();
    // A buddy that takes the connection and never reads; a free port for our own receiver.
    int buddyPort = 0, port = 0;
    const int buddy = ListenOnLoopback(buddyPort);
    ASSERT_GE(buddy, 0);
    const int probe = ListenOnLoopback(port);
    close(probe);
    LiveSettings.manual = 1;
    LiveSettings.Set(LiveSettingsStore::Text::strangers, "accept");  // files from anyone
    LiveSettings.server = 1;
    LiveSettings.auto_ = 0;
    LiveSettings.useftp = 0;
    LiveSettings.Set(LiveSettingsStore::Text::serverport, std::to_string(port));
    LiveSettings.SetBuddy("127.0.0.1", std::to_string(buddyPort));
    const std::string big = TestPaths::NewFolder("files") + "/big.bin";
    WriteFile(big, RandomBytes(32 << 20, 5));

    RealWorkerFactory workers;
    auto window = std::make_unique<CDropWindow>(workers, [](int) {});
    window->Initialize();
    window->QueueFiles({big});
    // Going out: the buddy's window fills and the sender blocks in its send.
    int out = -1;
    ASSERT_TRUE(PumpUntil([&] {
        pollfd waiting{buddy, POLLIN, 0};
        if (poll(&waiting, 1, 10) == 1) {
            out = accept(buddy, nullptr, nullptr);
        }
        return out >= 0;
    }));
    // Coming in: a header and a little, then nothing more.
    const int in = ConnectToLoopback(port);
    ASSERT_GE(in, 0);
    const std::string start = wire::EncodeHeader("half.bin", 1000000) + std::string(1000, 'x');
    ASSERT_EQ(send(in, start.data(), start.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(start.size()));
    ASSERT_TRUE(PumpUntil([] { return ReceivingInto(TestPaths::ReceiveFolder()); }));
    // A worker that reports a failure waits for the user.
    std::thread reporter([&] { window->heart().ReportError(error_code::kSendFailed); });
    ASSERT_TRUE(PumpUntil(BoxShown));

    window.reset();  // returns once every worker has stopped
    reporter.join();
    close(in);
    close(out);
    close(buddy);
}

}  // namespace
