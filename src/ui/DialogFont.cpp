#include "ui/DialogFont.h"

#include <QStringList>

QFont DialogFont::Garamond(int points) {
    QFont font;
    font.setFamilies({QStringLiteral("Garamond"), QStringLiteral("EB Garamond"),
                      QStringLiteral("P052"), QStringLiteral("Palatino"),
                      QStringLiteral("TeX Gyre Pagella"), QStringLiteral("serif")});
    font.setStyleHint(QFont::Serif);
    font.setPointSize(points);
    font.setWeight(QFont::Normal);
    return font;
}
