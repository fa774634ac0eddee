#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <cstdint>

// Zingwell's pictures, drawn as SVG and rendered at the sizes needed. Refer to them by their
// resource numbers (ui/ResourceIds.h).
class Artwork {
public:
    // The drop window's dog (91 by 91 logical pixels on a pure white ground).
    static QPixmap DogPicture(qreal devicePixelRatio);
    // The same at 1x with its ground, edge fringe included, pure white: the white pixels
    // give the window's shape.
    static QImage DogForMask();
    // Icons 146, 150, 151, 152; an empty icon for any other number.
    static QIcon Icon(uint16_t resourceId);
    static QPixmap IconPixmap(uint16_t resourceId, int size, qreal devicePixelRatio);
    static QIcon ApplicationIcon();

    static constexpr int kDogSize = 91;
};
