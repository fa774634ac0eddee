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

// The dog's outline colour (resources/dog.svg).
constexpr QRgb kOutline = 0xFF3A2210u;

QImage DogOnWhite(int side) {
    return Render(QStringLiteral(":/zingwell/dog.svg"), QSize(side, side), true, Qt::white)
        .convertToFormat(QImage::Format_RGB32);
}

// Ground or the ground's smoothed edge: every colour of the dog itself has a darker channel.
bool IsPale(QRgb pixel) {
    return qRed(pixel) >= 160 && qGreen(pixel) >= 160 && qBlue(pixel) >= 160;
}

}  // namespace

QPixmap Artwork::DogPicture(qreal devicePixelRatio) {
    const int side = qRound(kDogSize * devicePixelRatio);
    QImage image = DogOnWhite(side);
    // The window's shape is cut at 1x. Whatever of the picture lies outside it is never seen;
    // inside it, the pixels on the shape's rim (smoothed into the white ground by the renderer)
    // take the outline's colour, so no pale fringe shows over a dark desktop.
    const QImage shape = DogForMask();
    auto inShape = [&](int x, int y) {
        const int sx = qMin(kDogSize - 1, int(x / devicePixelRatio));
        const int sy = qMin(kDogSize - 1, int(y / devicePixelRatio));
        return (shape.pixel(sx, sy) & 0xFFFFFFu) != 0xFFFFFFu;
    };
    auto solid = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < side && y < side && inShape(x, y) &&
               !IsPale(image.pixel(x, y));
    };
    QImage result = image.copy();
    for (int y = 0; y < side; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < side; ++x) {
            if (!inShape(x, y)) {
                line[x] = qRgb(255, 255, 255);
            } else if (!solid(x, y) || !solid(x - 1, y) || !solid(x + 1, y) || !solid(x, y - 1) ||
                       !solid(x, y + 1)) {
                line[x] = kOutline;
            }
        }
    }
    result.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(result);
}

QImage Artwork::DogForMask() {
    QImage image = DogOnWhite(kDogSize);
    // Qt smooths SVG edges whatever the hint says; the pale fringe this leaves against the
    // white ground belongs to the ground. Nothing inside the dog is that pale.
    for (int y = 0; y < image.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (IsPale(line[x])) {
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
