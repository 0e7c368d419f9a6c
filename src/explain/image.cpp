// The image as one file or a cue sheet, and the image
// checks: size, where the validation block lies, the image's own volume
// descriptor.
#include <algorithm>
#include <cstring>

#include "explain.hpp"
#include "tool.hpp"

namespace {

// How far into the image the validation block is looked for at any offset:
// far enough for a pregap of a few seconds of sectors.
constexpr int64_t searchlen = 8 << 20;

// Where the block lies in other layouts of the same disc: sector 16 in
// 2048-byte sectors (Mode 2: behind 8 bytes of the descriptor, Mode 1: 16),
// in 2336-byte sectors (the subheader, then the descriptor: byte 8 of it lies
// 16 bytes in), and in 2448-byte sectors (raw, with 96 bytes of subchannel).
struct Place {
    int64_t at;
    layout where;
};
constexpr Place places[] = {
    {16 * 2048 + 8, layoutiso2},
    {16 * 2048 + 16, layoutiso1},
    {16 * 2336 + 16, layout2336},
    {16 * 2448 + 32, layout2448},
};

// Where an image may hold its primary volume descriptor, and the disc mode
// that such a place tells (0: not known).
struct Pvd {
    int64_t at;
    int mode;
};
constexpr Pvd pvds[] = {
    {16 * zem::sectorlen + 24, 2}, {16 * zem::sectorlen + 16, 1}, {16 * 2048, 0},
    {16 * 2336 + 8, 2},            {16 * 2448 + 24, 2},          {16 * 2448 + 16, 1},
};
constexpr long pvdlen = 2048;

// Whether the n bytes are all the same.
bool uniform(const unsigned char *p, long n)
{
    for (long i = 1; i < n; i++)
        if (p[i] != p[0]) return false;
    return true;
}

// Where the block first lies in the image's first searchlen bytes, or -1.
int64_t search(const Input &image, const unsigned char *block)
{
    static unsigned char buf[1 << 20];
    int64_t span = std::min(image.size, searchlen);
    // Chunks overlap by a block less one byte, so that none is missed.
    for (int64_t at = 0; at + zem::checkblocklen <= span; at += sizeof buf - zem::checkblocklen + 1) {
        long n = long(std::min<int64_t>(sizeof buf, span - at));
        bytesat(image, at, n, buf);
        const void *found = memmem(buf, size_t(n), block, zem::checkblocklen);
        if (found) return at + (static_cast<const unsigned char *>(found) - buf);
    }
    return -1;
}

// Compares the validation block with the bytes of the split dump's image
// (its whole cue sheet) at the block's offset, as Mavrin would given the
// sheet: what a lone track file that ends before the block cannot show.
void checkdump(const unsigned char *stored, ImageFacts &imf)
{
    static disc::Image dump;   // large: kept out of the stack
    disc::ImageError err;
    imf.dumpblock = -1;
    imf.dumpblockfile.clear();
    if (!disc::openimage(dump, imf.splitdump.cuepath, false, nullptr, nullptr, err)) return;
    unsigned char there[zem::checkblocklen] = {0};   // what lies past the end reads as zeros
    const int64_t got = disc::readimage(dump, there, zem::checkblocklen, zem::imageblockpos);
    imf.dumpblockfile = dump.files[disc::fileat(dump, zem::imageblockpos + zem::checkblocklen - 1)].path;
    if (got >= 0) imf.dumpblock = std::memcmp(there, stored, sizeof there) == 0;
    disc::closeimage(dump);
}

} // namespace

void checkimage(const Input &patch, const Input &image, const PatchFacts &pf, ImageFacts &imf)
{
    imf.size = image.size;

    /* The image's own descriptor */
    unsigned char pvd[pvdlen];
    for (const Pvd &d : pvds) {
        if (d.at + pvdlen > image.size) continue;
        bytesat(image, d.at, pvdlen, pvd);
        imf.volume = decodevolume(pvd, pvdlen, 0);
        if (imf.volume.valid) {
            imf.volume.mode = d.mode;
            break;
        }
    }
    if (pf.kind != zem::version2) return;

    /* Mavrin's two tests */
    imf.sizematches = image.size == pf.imagesize;
    unsigned char stored[zem::checkblocklen], now[zem::checkblocklen];
    bytesat(patch, zem::checkblockpos, zem::checkblocklen, stored);
    bytesat(image, zem::imageblockpos, zem::checkblocklen, now);
    imf.blockmatches = std::memcmp(stored, now, sizeof now) == 0;
    // A patch that rewrites the block leaves it so in the image it patched.
    imf.blockpatched = !imf.blockmatches && pf.damage == zem::flawnone &&
                       std::memcmp(pf.leftblock, now, sizeof now) == 0;
    if (imf.split) checkdump(stored, imf);
    imf.shift = 0;
    if (imf.blockmatches || imf.blockpatched) {
        imf.where = layoutraw;
        return;
    }

    /* Elsewhere: a block of one repeated byte would be found anywhere */
    imf.where = layoutnone;
    if (uniform(stored, zem::checkblocklen)) return;
    for (const Place &p : places) {
        if (p.at + zem::checkblocklen > image.size) continue;
        bytesat(image, p.at, zem::checkblocklen, now);
        if (std::memcmp(now, stored, sizeof stored) == 0) {
            imf.where = p.where;
            imf.shift = p.at - zem::imageblockpos;
            return;
        }
    }
    int64_t found = search(image, stored);
    if (found >= 0) {
        imf.where = layoutshifted;
        imf.shift = found - zem::imageblockpos;
    }
}

bool openimageinput(const char *path, disc::Image &img, Input &in, ImageFacts &imf, std::string &error)
{
    disc::ImageError err;
    if (!disc::openimage(img, path, false, nullptr, nullptr, err)) {
        error = tool::imageerror(path, err);
        return false;
    }
    in = Input{-1, img.size, &img};
    imf.size = img.size;
    imf.cue = img.cue;
    imf.files.clear();
    imf.tracks.clear();
    for (int i = 0; img.cue && i < img.nfiles; i++) imf.files.push_back(img.files[i].path);
    for (int i = 0; i < img.ntracks; i++) {
        const disc::Track &t = img.tracks[i];
        imf.tracks.push_back({t.number, t.file, t.mode, t.first, t.size, 0});
    }
    imf.split = !img.cue && disc::findsplit(path, imf.splitdump);
    return true;
}

void placerecord(ImageFacts &imf, int64_t pos, int64_t end)
{
    if (imf.split && end > imf.size) imf.recordsbeyond++;
    std::vector<TrackFacts> &t = imf.tracks;
    if (t.empty()) return;
    // The track that holds pos (tracks lie in order), and those after it up to end.
    size_t i = size_t(std::upper_bound(t.begin(), t.end(), pos,
                                       [](int64_t p, const TrackFacts &tr) { return p < tr.first; }) -
                      t.begin());
    for (i = i ? i - 1 : 0; i < t.size() && t[i].first < end; i++)
        if (i + 1 == t.size() || (t[i].size > 0 && pos < t[i].first + t[i].size)) t[i].records++;
}
