#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "ui/Artwork.h"
#include "ui/ResourceIds.h"

namespace {

bool Pale(QRgb pixel) {
    return qRed(pixel) >= 160 && qGreen(pixel) >= 160 && qBlue(pixel) >= 160;
}

// Without a compositor the window shows every pixel of the picture inside its 1x shape as it
// is: a pale one there would be a speck of the white ground over the desktop.
TEST(Artwork, TheDogShowsNoPaleFringeInsideItsShapeAtAnyScale) {
    const QImage shape = Artwork::DogForMask();
    ASSERT_EQ(shape.size(), QSize(Artwork::kDogSize, Artwork::kDogSize));
    for (qreal scale : {1.0, 2.0}) {
        // As the window paints it: over its white ground.
        QImage dog = Artwork::DogPicture(scale).toImage();
        dog.setDevicePixelRatio(1.0);
        QImage picture(dog.size(), QImage::Format_RGB32);
        picture.fill(Qt::white);
        QPainter(&picture).drawImage(0, 0, dog);
        ASSERT_EQ(picture.width(), qRound(Artwork::kDogSize * scale));
        int inside = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QRgb ground = shape.pixel(int(x / scale), int(y / scale));
                if ((ground & 0xFFFFFFu) == 0xFFFFFFu) {
                    continue;
                }
                ++inside;
                ASSERT_FALSE(Pale(picture.pixel(x, y)))
                    << "scale " << scale << " at " << x << "," << y;
            }
        }
        EXPECT_GT(inside, picture.width() * picture.height() / 3) << "scale " << scale;
    }
}

TEST(Artwork, TheDogKeepsItsColoursAwayFromTheRim) {
    const QImage picture = Artwork::DogPicture(1.0).toImage();
    // The yellow of a front leg, well inside the outline.
    const QRgb leg = picture.pixel(40, 75);
    EXPECT_GT(qRed(leg), 200);
    EXPECT_GT(qGreen(leg), 150);
    EXPECT_LT(qBlue(leg), 100);
}

TEST(Artwork, EveryIconTheProgramUsesHasAPicture) {
    for (uint16_t id :
         {resource::kIconDog, resource::kIconGreen, resource::kIconRed, resource::kIconAbout}) {
        EXPECT_FALSE(Artwork::Icon(id).isNull()) << id;
        EXPECT_FALSE(Artwork::IconPixmap(id, 16, 1.0).isNull()) << id;
    }
    EXPECT_TRUE(Artwork::Icon(999).isNull());
    EXPECT_FALSE(Artwork::ApplicationIcon().isNull());
}

}  // namespace
