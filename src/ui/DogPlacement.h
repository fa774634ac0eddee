#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>
#include <string>

// Where the dog was put, kept for the next start as an extra value of our own in the per-user
// registry file ("dogpos"="x,y"), and where it may go again on the screens there are now.
class DogPlacement {
public:
    static std::optional<QPoint> Parse(const std::string& text);
    static std::string Format(QPoint position);

    // The stored place when the dog would be seen there: its middle on one of the available
    // areas, and then kept wholly inside that area. Otherwise the fallback.
    static QPoint Choose(std::optional<QPoint> stored, QSize size, const QList<QRect>& areas,
                         QPoint fallback);

    // The stored place, if any; and storing one.
    static std::optional<QPoint> Load();
    static void Save(QPoint position);
};
