#include "ui/BarkPlayer.h"

#include <gtest/gtest.h>

#include <QDir>

#include "core/ReceiveFolder.h"
#include "support/Files.h"

namespace {

// A program run from its build folder barks with the sound in the source tree; a bark of the
// user's own, in the receive folder or the data folder, is preferred over it.
TEST(BarkPlayer, TheUsersOwnBarkWinsAndABuildFolderFindsTheShippedOne) {
    const QString shipped = QStringLiteral(ZINGWELL_SOURCE_DIR "/resources/bark.wav");
    const QString found = BarkPlayer::FindBark();
    ASSERT_FALSE(found.isEmpty());
    // Unless a copy is installed on this machine, it is the source tree's.
    if (!found.startsWith(QStringLiteral("/usr"))) {
        EXPECT_EQ(found, shipped);
    }

    const std::string data = QDir::homePath().toStdString() + "/data";
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data));
    const std::string dataHome = data + "/zingwell";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(dataHome)));
    WriteFile(dataHome + "/bark.wav", "RIFF");
    EXPECT_EQ(BarkPlayer::FindBark().toStdString(), dataHome + "/bark.wav");

    const std::string mine = GetReceiveFolder() + "/bark.wav";
    WriteFile(mine, "RIFF");
    EXPECT_EQ(BarkPlayer::FindBark().toStdString(), mine);
}

}  // namespace
