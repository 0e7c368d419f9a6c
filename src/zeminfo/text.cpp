// zeminfo: texts from patches, DOS-era bytes of code page 437, as UTF-8.
#include <cerrno>
#include <cstring>
#include <iconv.h>

#include "infocore.hpp"

namespace {
iconv_t fromdos = iconv_t(-1);
}

bool cp437init(std::string &error)
{
    if (fromdos != iconv_t(-1)) return true;
    fromdos = iconv_open("UTF-8", "CP437");
    if (fromdos == iconv_t(-1)) {
        error = std::string("cannot convert texts from code page 437: ") + strerror(errno);
        return false;
    }
    return true;
}

std::string cp437(const unsigned char *p, long n)
{
    const void *zero = std::memchr(p, 0, size_t(n));
    if (zero) n = static_cast<const unsigned char *>(zero) - p;
    std::string out;
    char buf[4096];
    char *in = const_cast<char *>(reinterpret_cast<const char *>(p));
    size_t inleft = size_t(n);
    iconv(fromdos, nullptr, nullptr, nullptr, nullptr);
    while (inleft > 0) {
        char *o = buf;
        size_t oleft = sizeof buf;
        size_t r = iconv(fromdos, &in, &inleft, &o, &oleft);
        out.append(buf, size_t(o - buf));
        // Every byte has a character in code page 437; should one not
        // convert all the same, it is shown as U+FFFD and passed over.
        if (r == size_t(-1) && errno != E2BIG) {
            out.append("\xef\xbf\xbd");
            in++;
            inleft--;
        }
    }
    return out;
}

std::string forterminal(const std::string &s)
{
    // What DOS shows for the control characters 0x00-0x1f and 0x7f.
    static const char *const glyph[32] = {
        " ", "☺", "☻", "♥", "♦", "♣", "♠", "•", "◘", "○", "◙", "♂", "♀", "♪", "♫", "☼",
        "►", "◄", "↕", "‼", "¶", "§", "▬", "↨", "↑", "↓", "→", "←", "∟", "↔", "▲", "▼"};
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        if (c == '\n' || c == '\t') out += char(c);
        else if (c < 32) out += glyph[c];
        else if (c == 0x7f) out += "⌂";
        else out += char(c);
    }
    return out;
}
