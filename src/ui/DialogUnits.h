#pragma once

#include <QFont>
#include <QRect>

// Dialog layouts are given in dialog units, which scale with the dialog's font: a horizontal
// unit is a quarter of the font's average letter width, a vertical one an eighth of its height.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;

private:
    int baseX_;
    int baseY_;
};
