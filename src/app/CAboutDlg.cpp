#include "app/CAboutDlg.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "secure/Identity.h"
#include "ui/Artwork.h"
#include "ui/DialogFont.h"
#include "ui/DialogUnits.h"
#include "ui/DialogWindow.h"
#include "ui/ResourceIds.h"

CAboutDlg::CAboutDlg(const Identity* identity, QWidget* parent)
    : QDialog(parent, DialogWindow::Flags(false)) {
    setWindowTitle(QStringLiteral("About Zingwell"));
    DialogWindow::KeepRestored(this);
    const QFont font = DialogFont::Garamond(11);
    setFont(font);

    QPalette colours = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colours.setColor(group, QPalette::Window, QColor(255, 209, 0));
        colours.setColor(group, QPalette::WindowText, QColor(26, 0, 0));
        colours.setColor(group, QPalette::ButtonText, QColor(26, 0, 0));
    }
    setPalette(colours);
    setAutoFillBackground(true);

    const DialogUnits units(font);
    setFixedSize(units.X(214), units.Y(80));

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("icon"));
    picture->setPixmap(Artwork::IconPixmap(resource::kIconAbout, 32, devicePixelRatioF()));
    picture->setGeometry(units.X(7), units.Y(7), 32, 32);

    auto* version = new QLabel(QString::fromLatin1(kVersionText), this);
    version->setObjectName(QStringLiteral("version"));
    version->setGeometry(units.Rect(31, 14, 100, 8));

    auto* line = new QLabel(QStringLiteral("Drop files on the dog to send them."), this);
    line->setGeometry(units.Rect(6, 28, 157, 8));

    // The fingerprint in two rows of eight groups, so that it fits the box.
    QString key = QStringLiteral("Secure transfers are off: this computer has no key.");
    if (identity != nullptr) {
        const QString fingerprint =
            QString::fromStdString(Identity::Fingerprint(identity->keyHash()));
        key = QStringLiteral("Key id: %1\nFingerprint: %2\n%3")
                  .arg(QString::fromStdString(identity->keyId()), fingerprint.left(39),
                       fingerprint.mid(40));
    }
    auto* keyLine = new QLabel(key, this);
    keyLine->setObjectName(QStringLiteral("key"));
    keyLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    keyLine->setGeometry(units.Rect(6, 42, 202, 32));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setGeometry(units.Rect(168, 8, 38, 16));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    DialogWindow::Centre(this);
}
