#include "ui/BarkPlayer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include "core/ReceiveFolder.h"

#ifndef ZINGWELL_DATA_DIR
#define ZINGWELL_DATA_DIR "/usr/local/share/zingwell"
#endif
#ifndef ZINGWELL_SOURCE_BARK
#define ZINGWELL_SOURCE_BARK ""
#endif

QString BarkPlayer::FindBark() {
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!dataHome.startsWith(QLatin1Char('/'))) {
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    }
    const QString candidates[] = {
        QString::fromStdString(GetReceiveFolder()) + QStringLiteral("/bark.wav"),
        dataHome + QStringLiteral("/zingwell/bark.wav"),
        // Installed beside the program, under whatever prefix it was installed to...
        QDir::cleanPath(QCoreApplication::applicationDirPath() +
                        QStringLiteral("/../share/zingwell/bark.wav")),
        // ...or where the build meant it to go; a program run from its build folder (the
        // README's run command) barks with the one in the source tree.
        QStringLiteral(ZINGWELL_DATA_DIR "/bark.wav"),
        QStringLiteral(ZINGWELL_SOURCE_BARK),
    };
    for (const QString& candidate : candidates) {
        if (!candidate.isEmpty() && QFileInfo(candidate).isFile()) {
            return candidate;
        }
    }
    return QString();
}

void BarkPlayer::Play() {
    // Looked up at every bark, so a sound put in place while running is heard at once.
    const QString file = FindBark();
    if (file.isEmpty()) {
        return;
    }
    if (effect_ == nullptr) {
        effect_ = new QSoundEffect(this);
    }
    const QUrl source = QUrl::fromLocalFile(file);
    if (effect_->source() != source) {
        effect_->setSource(source);
    }
    effect_->play();
}
