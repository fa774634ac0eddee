#include "core/DisplayName.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    std::string name;
    size_t maxChars;
    std::string shown;
};

TEST(DisplayName, ShowsWhatCouldHideOrReorderTheNameAndKeepsItsEnding) {
    const std::string x100(100, 'x');
    const std::vector<Case> cases = {
        // Ordinary names, UTF-8 included, come back as they are.
        {"holiday photo.jpg", 255, "holiday photo.jpg"},
        {"Fotos/Übersicht – 東京.png", 255, "Fotos/Übersicht – 東京.png"},
        {"", 255, ""},
        // C0, DEL, C1 (U+0085, U+009B) and invalid UTF-8, byte by byte.
        {"a\nb\x01\tc\x7f", 255, "a?b??c?"},
        {"a\xc2\x85"
         "b\xc2\x9b"
         "31m",
         255, "a?b?31m"},
        {"n\x80\xff.bin", 255, "n??.bin"},
        {"\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82", 255, "??????????????"},
        // Direction controls and marks: "gpj.exe" must not read as a picture's name.
        {"a\u202egpj.exe", 255, "a?gpj.exe"},
        {"\u202a\u202b\u202c\u202d\u2066\u2067\u2068\u2069\u200e\u200f\u061c.exe", 255,
         "???????????.exe"},
        // Line and paragraph separators, zero-width and invisible characters.
        {"a\u2028b\u2029c", 255, "a?b?c"},
        {"\u200b\u200c\u200d\u2060\ufeffx", 255, "?????x"},
        // Runs of blanks of any kind become one space.
        {"report" + std::string(200, ' ') + ".exe", 255, "report .exe"},
        {"a\u00a0\u2000\u200a\u3000 \u202f\u205fb c", 255, "a b c"},
        {"a\u00a0b", 255, "a b"},
        // Too long: the start, "…", the end; maxChars characters in all.
        {x100 + ".exe", 21, std::string(10, 'x') + "\u2026" + "xxxxxx.exe"},
        {"ééééééééé.pdf", 8, "éééé\u2026pdf"},
        {"abcdef", 6, "abcdef"},
        {"abcdefg", 1, "\u2026"},
        {"abcdefg", 0, ""},
    };
    for (const Case& c : cases) {
        const std::string shown = DisplayName(c.name, c.maxChars);
        EXPECT_EQ(shown, c.shown) << c.name;
        EXPECT_EQ(DisplayName(shown, c.maxChars), shown) << c.name;  // shown as it is
    }
}

}  // namespace
