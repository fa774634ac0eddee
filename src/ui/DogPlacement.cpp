#include "ui/DogPlacement.h"

#include <charconv>

#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"

namespace {
constexpr const char* kValueName = "dogpos";
}

std::optional<QPoint> DogPlacement::Parse(const std::string& text) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos) {
        return std::nullopt;
    }
    int x = 0, y = 0;
    const char* end = text.data() + text.size();
    auto [xEnd, xError] = std::from_chars(text.data(), text.data() + comma, x);
    auto [yEnd, yError] = std::from_chars(text.data() + comma + 1, end, y);
    if (xError != std::errc() || yError != std::errc() || xEnd != text.data() + comma ||
        yEnd != end || x < -100000 || x > 100000 || y < -100000 || y > 100000) {
        return std::nullopt;
    }
    return QPoint(x, y);
}

std::string DogPlacement::Format(QPoint position) {
    return std::to_string(position.x()) + "," + std::to_string(position.y());
}

QPoint DogPlacement::Choose(std::optional<QPoint> stored, QSize size, const QList<QRect>& areas,
                            QPoint fallback) {
    if (!stored) {
        return fallback;
    }
    const QRect dog(*stored, size);
    for (const QRect& area : areas) {
        if (!area.contains(dog.center())) {
            continue;
        }
        // Any part over the edge (a screen grown smaller) comes back inside.
        QPoint place = *stored;
        place.setX(std::max(area.left(), std::min(place.x(), area.right() + 1 - size.width())));
        place.setY(std::max(area.top(), std::min(place.y(), area.bottom() + 1 - size.height())));
        return place;
    }
    return fallback;
}

std::optional<QPoint> DogPlacement::Load() {
    return Parse(RegistryText(SettingKey(kValueName), "", true, RegRoot::CurrentUser).Get());
}

void DogPlacement::Save(QPoint position) {
    RegistryText(SettingKey(kValueName), "", true, RegRoot::CurrentUser).Set(Format(position));
}
