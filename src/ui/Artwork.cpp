#include "ui/Artwork.h"

#include <QPainter>
#include <QSvgRenderer>

#include "ui/ResourceIds.h"

namespace {

QString IconFile(uint16_t resourceId) {
    switch (resourceId) {
        case resource::kIconDog:
            return QStringLiteral(":/zingwell/icon-146.svg");
        case resource::kIconGreen:
            return QStringLiteral(":/zingwell/icon-150.svg");
        case resource::kIconRed:
            return QStringLiteral(":/zingwell/icon-151.svg");
        case resource::kIconAbout:
            return QStringLiteral(":/zingwell/icon-152.svg");
        default:
            return QString();
    }
}

QImage Render(const QString& file, QSize pixels, bool antialiased,
              QColor ground = Qt::transparent) {
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(ground);
    QSvgRenderer renderer(file);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, antialiased);
    renderer.render(&painter);
    return image;
}

}  // namespace

QPixmap Artwork::DogPicture(qreal devicePixelRatio) {
    const int side = qRound(kDogSize * devicePixelRatio);
    QImage image = Render(QStringLiteral(":/zingwell/dog.svg"), QSize(side, side), true);
    image.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(image);
}

QImage Artwork::DogForMask() {
    QImage image =
        Render(QStringLiteral(":/zingwell/dog.svg"), QSize(kDogSize, kDogSize), false, Qt::white)
            .convertToFormat(QImage::Format_RGB32);
    // Qt smooths SVG edges whatever the hint says; the pale fringe this leaves against the
    // white ground belongs to the ground. Nothing inside the dog is that pale.
    for (int y = 0; y < image.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qRed(line[x]) >= 160 && qGreen(line[x]) >= 160 && qBlue(line[x]) >= 160) {
                line[x] = qRgb(255, 255, 255);
            }
        }
    }
    return image;
}

QPixmap Artwork::IconPixmap(uint16_t resourceId, int size, qreal devicePixelRatio) {
    const QString file = IconFile(resourceId);
    if (file.isEmpty()) {
        return QPixmap();
    }
    const int side = qRound(size * devicePixelRatio);
    QImage image = Render(file, QSize(side, side), true);
    image.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(image);
}

QIcon Artwork::Icon(uint16_t resourceId) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = IconPixmap(resourceId, size, 1.0);
        if (!pixmap.isNull()) {
            icon.addPixmap(pixmap);
        }
    }
    return icon;
}

QIcon Artwork::ApplicationIcon() {
    return QIcon(QStringLiteral(":/zingwell/zingwell.svg"));
}
