#pragma once

#include <QApplication>
#include <chrono>
#include <functional>

#include "support/Files.h"

// Lets the application's events run until the condition holds or the time is up; the
// condition's last value.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return WaitUntil(
        [&] {
            QApplication::processEvents();
            return done();
        },
        limit);
}
