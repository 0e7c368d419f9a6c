// Texts from patches, as UTF-8: valid UTF-8 as it is, DOS-era bytes
// of code page 437 converted.
#include <cerrno>
#include <cstring>
#include <iconv.h>

#include "explaintext.hpp"
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

namespace {

// The length of the UTF-8 character at p, of at most n bytes: 1 to 4, or 0
// when the bytes are no character (a stray continuation byte, an overlong
// form, a surrogate, beyond U+10FFFF, or cut short).
long utf8len(const unsigned char *p, long n)
{
    long len = p[0] < 0x80 ? 1 : p[0] >= 0xc2 && p[0] <= 0xdf ? 2 : p[0] >= 0xe0 && p[0] <= 0xef ? 3
             : p[0] >= 0xf0 && p[0] <= 0xf4 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    for (long i = 1; i < len; i++)
        if ((p[i] & 0xc0) != 0x80) return 0;
    // The second byte's range closes off overlong forms, surrogates and what lies past U+10FFFF.
    if ((p[0] == 0xe0 && p[1] < 0xa0) || (p[0] == 0xed && p[1] > 0x9f) ||
        (p[0] == 0xf0 && p[1] < 0x90) || (p[0] == 0xf4 && p[1] > 0x8f))
        return 0;
    return len;
}

// Whether the n bytes at p (fewer than 4) begin a UTF-8 character and stop
// short of its end: completed with the smallest continuation bytes that fit,
// they make a character longer than n.
bool cutshort(const unsigned char *p, long n)
{
    unsigned char whole[4] = {p[0], 0x80, 0x80, 0x80};
    if (n == 1 && p[0] == 0xe0) whole[1] = 0xa0;
    if (n == 1 && p[0] == 0xf0) whole[1] = 0x90;
    for (long i = 1; i < n; i++) whole[i] = p[i];
    return utf8len(whole, 4) > n;
}

// The bytes of the text: up to its first zero byte.
long textlen(const unsigned char *p, long n)
{
    const void *zero = std::memchr(p, 0, size_t(n));
    return zero ? static_cast<const unsigned char *>(zero) - p : n;
}

} // namespace

textencoding encodingof(const unsigned char *p, long n, bool fillsfield)
{
    const bool full = fillsfield && textlen(p, n) == n;   // no zero byte ends it
    n = textlen(p, n);
    bool ascii = true;
    for (long i = 0; i < n;) {
        long len = utf8len(p + i, n - i);
        // A field cut a character short: its maker ran out of room, not of UTF-8.
        if (len == 0) return full && n - i < 4 && cutshort(p + i, n - i) ? textutf8 : textcp437;
        ascii = ascii && len == 1;
        i += len;
    }
    return ascii ? textascii : textutf8;
}

std::string decodetext(const unsigned char *p, long n, textencoding e)
{
    n = textlen(p, n);
    if (e == textcp437) return cp437(p, n);
    long whole = 0;   // up to a character cut short at the end
    for (long len; whole < n && (len = utf8len(p + whole, n - whole)) > 0;) whole += len;
    return std::string(reinterpret_cast<const char *>(p), size_t(whole));
}

std::string forterminal(const std::string &s)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s.data());
    const long n = long(s.size());
    std::string out;
    for (long i = 0; i < n; i++) {
        if (u[i] == '\r' && i + 1 < n && u[i + 1] == '\n') continue;
        const char *glyph = u[i] == '\n' || u[i] == '\t' ? nullptr : zem::controlglyph(u[i]);
        // A text read as UTF-8 may hold C1 control characters; cp437 never gives them.
        if (zem::c1at(u + i, n - i)) {
            glyph = zem::c1glyph;
            i += zem::c1len - 1;
        }
        if (glyph) out += glyph;
        else out += char(u[i]);
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
