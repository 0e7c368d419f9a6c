// zeminfo: texts from patches, DOS-era bytes of code page 437, as UTF-8.
#include <cerrno>
#include <cstring>
#include <iconv.h>

#include "infocore.hpp"
#include "zemtext.hpp"

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
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        const char *glyph = c == '\n' || c == '\t' ? nullptr : zem::controlglyph(c);
        if (glyph) out += glyph;
        else out += char(c);
    }
    return out;
}

std::string oneline(const std::string &s)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s.data());
    const long n = long(s.size());
    std::string out;
    for (long i = 0; i < n; i++) {
        const char *glyph = u[i] == '\t' ? nullptr : zem::controlglyph(u[i]);
        if (zem::c1at(u + i, n - i)) {
            glyph = zem::c1glyph;
            i += zem::c1len - 1;
        }
        if (glyph) out += glyph;
        else out += char(u[i]);
    }
    return out;
}
