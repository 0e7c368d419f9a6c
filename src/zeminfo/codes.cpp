// zeminfo --codes: the EDC, P and Q of every data sector of an image.
#include <cerrno>
#include <cstring>

#include "cdscan.hpp"
#include "infocore.hpp"
#include "tool.hpp"

bool checkallcodes(const Input &image, CodesFacts &cf, std::string &error)
{
    cf.size = image.size;
    cf.sectors = image.size / cd::sectorlen;
    auto use = [&cf](cd::ScanBlock &b) {
        tool::progress("checking the codes of every sector", b.first + b.n, cf.sectors);
        for (long i = 0; i < b.n; i++) {
            const cd::Codes &c = b.codes[i];
            const int64_t s = b.first + i;
            cf.kinds[int(c.kind)]++;
            if (c.kind == cd::Kind::none) continue;
            if (c.noedc) {
                note(cf.noedc, cf.noedcfirst, s);
                continue;
            }
            if (c.edcright) cf.edcright++;
            else note(cf.edcbroken, cf.edcfirst, s);
            if (cd::layoutof(c.kind).ecc) {
                if (c.eccright) cf.eccright++;
                else note(cf.eccbroken, cf.eccfirst, s);
            }
            if (!c.right()) cf.codesbroken++;
        }
        return true;
    };
    if (cd::scansectors(*image.img, cf.sectors, nullptr, use)) return true;
    error = "reading " + cf.file + " failed: " + strerror(errno);
    return false;
}
