// How the format's texts (description, FILE_ID.DIZ) are shown to a person:
// control characters as the glyphs DOS shows for them, in UTF-8, so that a
// patch cannot send commands to a terminal. Header only: Mavrin uses it with
// nothing but the C library.
#pragma once

namespace zem {

// What DOS shows for the control characters 0x00-0x1f.
constexpr const char *controlglyphs[32] = {
    " ", "☺", "☻", "♥", "♦", "♣", "♠", "•", "◘", "○", "◙", "♂", "♀", "♪", "♫", "☼",
    "►", "◄", "↕", "‼", "¶", "§", "▬", "↨", "↑", "↓", "→", "←", "∟", "↔", "▲", "▼"};
// What DOS shows for DEL, 0x7f.
constexpr const char delglyph[] = "⌂";
// Shown in place of a C1 control character written in UTF-8 (U+0080 to
// U+009F): terminals take U+009B as the start of an escape sequence.
constexpr const char c1glyph[] = "\xef\xbf\xbd";   // U+FFFD
constexpr long c1len = 2;                           // its bytes in UTF-8

// The glyph of byte c when it is a control character (0x00-0x1f, 0x7f),
// otherwise nullptr.
inline const char *controlglyph(unsigned char c)
{
    if (c < sizeof controlglyphs / sizeof controlglyphs[0]) return controlglyphs[c];
    return c == 0x7f ? delglyph : nullptr;
}

// Whether the n bytes at p begin with a C1 control character in UTF-8.
inline bool c1at(const unsigned char *p, long n)
{
    return n >= c1len && p[0] == 0xc2 && p[1] >= 0x80 && p[1] <= 0x9f;
}

} // namespace zem
