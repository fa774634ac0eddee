#pragma once

#include <QFont>

// The fonts Zingwell's dialogs are drawn in; their dialog units follow from them.
class DialogFont {
public:
    // Garamond, in which the dialogs were designed. Few Linux desktops have it, so an
    // old-style serif of the same kind stands in, and failing that the desktop's own serif.
    static QFont Garamond(int points);
};
