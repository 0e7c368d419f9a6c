// The image as a stack of patches leaves it, over the record index.
#include "stacked.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace explain {

bool stackpatches(Stacked &s, const disc::Image *img, int64_t imagesize, const std::vector<int> &fds,
                  const std::vector<zem::Area> &areas)
{
    s.img = img;
    s.basesize = imagesize;
    s.fds = fds;
    s.index = zem::RecordIndex();
    for (size_t i = 0; i < fds.size(); i++) {
        zem::flaw damage = zem::flawnone;
        if (s.index.addpatch(fds[i], int(i), areas[i], damage) != zem::stepend) {
            if (errno == 0) errno = EIO;
            return false;
        }
    }
    s.index.finish();
    s.size = std::max(s.basesize, s.index.end());
    return true;
}

int64_t readstacked(const Stacked &s, unsigned char *out, int64_t n, int64_t pos)
{
    if (pos < 0 || n < 0) return -1;
    if (pos >= s.size) return 0;
    n = std::min(n, s.size - pos);
    const int64_t end = pos + n;
    int64_t own = s.img ? std::max<int64_t>(0, std::min(end, s.basesize) - pos) : 0;
    if (own > 0 && disc::readimage(*s.img, out, own, pos) != own) return -1;
    std::memset(out + own, 0, size_t(n - own));
    const std::vector<zem::Piece> &pieces = s.index.pieces();
    for (size_t i = s.index.find(pos); i < pieces.size() && pieces[i].begin() < end; i++) {
        const zem::Piece &p = pieces[i];
        int64_t a = std::max(p.begin(), pos), b = std::min(p.end(), end);
        long len = long(b - a);
        if (zem::readat(s.fds[size_t(p.patch())], out + (a - pos), len, p.src() + (a - p.begin())) != len)
            return -1;
    }
    return n;
}

std::vector<Overwritten> overwrites(const Stacked &s, const zem::RecordIndex &next)
{
    std::vector<Overwritten> by(s.fds.size());
    std::vector<int64_t> runend(s.fds.size(), -1);
    const std::vector<zem::Piece> &old = s.index.pieces(), &now = next.pieces();
    // Both lists lie in image order without overlaps: one merge finds every
    // byte the next patch writes over.
    size_t i = 0, j = 0;
    while (i < old.size() && j < now.size()) {
        int64_t a = std::max(old[i].begin(), now[j].begin()), b = std::min(old[i].end(), now[j].end());
        if (a < b) {
            const size_t p = size_t(old[i].patch());
            Overwritten &o = by[p];
            o.bytes += b - a;
            if (runend[p] != a && o.nruns++ < firstruns) o.runs.push_back(a);
            runend[p] = b;
        }
        if (old[i].end() <= now[j].end()) i++;
        else j++;
    }
    return by;
}

} // namespace explain
