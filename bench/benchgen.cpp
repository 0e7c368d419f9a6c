// Benchmark data: an image (random bytes, or raw CD data sectors of them),
// five change sets as ZEM 1.0 and 2.0 patches, and the image each of them
// should leave behind. Deterministic: a fixed seed.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cdsector.hpp"
#include "zemformat.hpp"

namespace {

using bytes = std::vector<unsigned char>;

// splitmix64: small, fast, the same on every platform and library.
struct Random {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    // A number from 0 to n - 1 (n > 0); the bias is irrelevant here.
    uint64_t below(uint64_t n) { return next() % n; }
    void fill(unsigned char *p, size_t n)
    {
        for (size_t i = 0; i < n; i += 8) {
            uint64_t v = next();
            size_t k = n - i < 8 ? n - i : 8;
            std::memcpy(p + i, &v, k);
        }
    }
};

constexpr uint64_t seed = 0x4d6176726e;   // fixed: the data never changes

struct Settings {
    int64_t imagesize = 700ll << 20;
    int64_t scattered = 1000000;     // records of 1 to scatteredmax bytes, ascending,
                                     // and the same records in random order (shuffled)
    int64_t clustered = 400;         // regions of clusterlen bytes holding close records
    int64_t dense = 256ll << 20;     // bytes rewritten by adjacent full records
    int64_t small = 1000;            // records of 1 to 255 bytes, in random order
    bool raw = false;                // the image's whole sectors are data sectors with right codes
    std::string dir;
};
constexpr long scatteredmax = 64;
constexpr int64_t clusterlen = 128 << 10;
constexpr long clustergapmax = 600;   // bytes between the records of a region, at least 1

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "benchgen: %s\n", what.c_str());
    std::exit(1);
}

// Reads a count or a size with an optional K, M or G (binary) suffix.
int64_t number(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || end == text || v < 0) fail(std::string("not a number: ") + text);
    int shift = 0;
    if (*end == 'K') shift = 10;
    if (*end == 'M') shift = 20;
    if (*end == 'G') shift = 30;
    if (shift) end++;
    if (*end) fail(std::string("not a number: ") + text);
    return int64_t(v) << shift;
}

void writeall(FILE *f, const void *p, size_t n, const std::string &path)
{
    if (n && std::fwrite(p, 1, n, f) != n) fail("cannot write " + path);
}

void writefile(const std::string &path, const bytes &b)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot create " + path);
    writeall(f, b.data(), b.size(), path);
    if (std::fclose(f) != 0) fail("cannot write " + path);
}

void putle32(unsigned char *p, int64_t v)
{
    uint32_t u = uint32_t(v);
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(u >> (8 * i));
}

// Writes one change set as name.v1.zem and name.v2.zem while applying it to a
// copy of the image, which becomes name.bin.
class Changeset {
public:
    Changeset(const Settings &s, const bytes &image, const std::string &setname)
        : target(image), dir(s.dir), name(setname)
    {
        v1 = open(name + ".v1.zem");
        v2 = open(name + ".v2.zem");

        /* Headers: the 2.0 one describes the image, so nothing is asked */
        unsigned char head[zem::v2headerlen] = {'Z', 'E', 'M', 0, 0};
        std::string desc = "Mavrin benchmark: " + name;
        std::memcpy(head + zem::descpos, desc.data(), desc.size());
        writeall(v1, head, zem::v1headerlen, name);
        head[zem::methodpos] = zem::methodv2;
        putle32(head + zem::imagesizepos, int64_t(image.size()));
        std::memcpy(head + zem::checkblockpos, image.data() + zem::imageblockpos,
                    zem::checkblocklen);
        writeall(v2, head, sizeof head, name);
    }

    void record(int64_t pos, const unsigned char *data, long len)
    {
        unsigned char head[zem::recheadlen];
        putle32(head, pos);
        head[zem::recposlen] = (unsigned char)len;
        for (FILE *f : {v1, v2}) {
            writeall(f, head, sizeof head, name);
            writeall(f, data, size_t(len), name);
        }
        std::memcpy(target.data() + pos, data, size_t(len));   // later records win
    }

    // Adds the FILE_ID.DIZ trailer to the 2.0 patch and writes the expected image.
    void finish()
    {
        // The last seven bytes of the text are never shown.
        std::string text = "Mavrin benchmark\r\nchange set: " + name + "\r\n" + "-------";
        std::string trailer(zem::dizheadskip, ' ');
        trailer += text;
        trailer += std::string(zem::diztailskip, ' ');
        trailer += ".DIZ";
        unsigned char len[zem::dizlenlen];
        putle32(len, int64_t(text.size()));
        trailer.append(reinterpret_cast<char *>(len), sizeof len);
        writeall(v2, trailer.data(), trailer.size(), name);
        for (FILE *f : {v1, v2})
            if (std::fclose(f) != 0) fail("cannot write the " + name + " patches");
        writefile(dir + "/" + name + ".bin", target);
    }

private:
    FILE *open(const std::string &file)
    {
        std::string path = dir + "/" + file;
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) fail("cannot create " + path);
        static char buf[2][1 << 20];
        static int used = 0;
        std::setvbuf(f, buf[used++ % 2], _IOFBF, sizeof buf[0]);
        return f;
    }

    bytes target;
    std::string dir, name;
    FILE *v1 = nullptr, *v2 = nullptr;
};

// A record to be: its place in the image and its data, data[at, at + len).
struct Place {
    int64_t pos;
    long len;
    size_t at;
};

// Writes places, in the order given, as the change set name.
void writeset(const Settings &s, const bytes &image, const char *name,
              const std::vector<Place> &places, const bytes &data)
{
    Changeset cs(s, image, name);
    for (const Place &p : places) cs.record(p.pos, data.data() + p.at, p.len);
    cs.finish();
}

// Records of random length from 1 to maxlen at random places inside the image,
// with random data. A few overlap and a few are adjacent.
std::vector<Place> scatter(const bytes &image, Random &rnd, int64_t count, long maxlen,
                           bytes &data)
{
    std::vector<Place> places(static_cast<size_t>(count));
    for (Place &p : places) {
        p.len = 1 + long(rnd.below(uint64_t(maxlen)));
        p.pos = int64_t(rnd.below(image.size() - size_t(p.len) + 1));
        p.at = data.size();
        data.resize(data.size() + size_t(p.len));
        rnd.fill(data.data() + p.at, size_t(p.len));
    }
    return places;
}

void ascending(std::vector<Place> &places)
{
    std::stable_sort(places.begin(), places.end(),
                     [](const Place &a, const Place &b) { return a.pos < b.pos; });
}

// Fisher-Yates with the fixed generator: the same order on every platform.
void shuffle(std::vector<Place> &places, Random &rnd)
{
    for (size_t i = places.size(); i > 1; i--) std::swap(places[i - 1], places[rnd.below(i)]);
}

// The scattered set in ascending order, as a patch maker writes it, and the
// same records in random order.
void scatterboth(const Settings &s, const bytes &image, Random &rnd)
{
    bytes data;
    std::vector<Place> places = scatter(image, rnd, s.scattered, scatteredmax, data);
    ascending(places);
    writeset(s, image, "scattered", places, data);
    shuffle(places, rnd);
    writeset(s, image, "shuffled", places, data);
}

// s.clustered regions of clusterlen bytes at random places, in ascending
// order; each holds records of 1 to 255 bytes from 1 to clustergapmax bytes
// apart, front to back.
void cluster(const Settings &s, const bytes &image, Random &rnd)
{
    int64_t span = int64_t(image.size()) < clusterlen ? int64_t(image.size()) : clusterlen;
    std::vector<int64_t> starts(static_cast<size_t>(s.clustered));
    for (int64_t &at : starts) at = int64_t(rnd.below(uint64_t(int64_t(image.size()) - span + 1)));
    std::sort(starts.begin(), starts.end());

    bytes data;
    std::vector<Place> places;
    for (int64_t start : starts) {
        for (int64_t pos = start + int64_t(rnd.below(clustergapmax));;) {
            long len = 1 + long(rnd.below(zem::recmaxdata));
            if (pos + len > start + span) break;
            places.push_back({pos, len, data.size()});
            data.resize(data.size() + size_t(len));
            rnd.fill(data.data() + places.back().at, size_t(len));
            pos += len + 1 + int64_t(rnd.below(clustergapmax));
        }
    }
    writeset(s, image, "clustered", places, data);
}

// s.dense bytes in the middle of the image, rewritten front to back by
// adjacent records of the largest length.
void densify(const Settings &s, const bytes &image, Random &rnd)
{
    Changeset cs(s, image, "dense");
    int64_t pos = (int64_t(image.size()) - s.dense) / 2 / zem::sectorlen * zem::sectorlen;
    int64_t end = pos + s.dense;
    unsigned char data[zem::recmaxdata];
    while (pos < end) {
        long len = end - pos < zem::recmaxdata ? long(end - pos) : zem::recmaxdata;
        rnd.fill(data, size_t(len));
        cs.record(pos, data, len);
        pos += len;
    }
    cs.finish();
}

unsigned char bcd(int64_t v)
{
    return (unsigned char)(v / 10 * 16 + v % 10);
}

// Makes every whole sector of the image a data sector with right codes, as a
// raw image of a disc holds them: Mode 2 Form 1, every eighth Form 2 (as
// video and sound lie on such discs), every 64th Mode 1; the random bytes are
// their data.
void makeraw(bytes &image)
{
    for (int64_t s = 0; (s + 1) * cd::sectorlen <= int64_t(image.size()); s++) {
        unsigned char *p = image.data() + s * cd::sectorlen;
        std::memset(p, 0xff, cd::syncln);
        p[0] = p[cd::syncln - 1] = 0;
        int64_t frame = s + 150;
        p[12] = bcd(frame / 75 / 60 % 100);
        p[13] = bcd(frame / 75 % 60);
        p[14] = bcd(frame % 75);
        cd::Kind kind = s % 64 == 63 ? cd::Kind::mode1 : s % 8 == 7 ? cd::Kind::form2 : cd::Kind::form1;
        p[cd::modepos] = kind == cd::Kind::mode1 ? 1 : 2;
        if (kind == cd::Kind::mode1) {
            std::memset(p + 2068, 0, 8);
        } else {
            unsigned char sub[4] = {0, 0, (unsigned char)(kind == cd::Kind::form2 ? 0x24 : 0x08), 0};
            std::memcpy(p + cd::subheaderpos, sub, 4);
            std::memcpy(p + cd::subheaderpos + 4, sub, 4);
        }
        cd::writecodes(p, kind);
    }
}

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    bool usage = false;
    for (int i = 1; i < argc && !usage; i++) {
        std::string a = argv[i];
        bool hasvalue = i + 1 < argc;
        if (a == "--image-size" && hasvalue) s.imagesize = number(argv[++i]);
        else if (a == "--scattered" && hasvalue) s.scattered = number(argv[++i]);
        else if (a == "--clustered" && hasvalue) s.clustered = number(argv[++i]);
        else if (a == "--dense" && hasvalue) s.dense = number(argv[++i]);
        else if (a == "--small" && hasvalue) s.small = number(argv[++i]);
        else if (a == "--raw") s.raw = true;
        else if (a[0] != '-' && s.dir.empty()) s.dir = a;
        else usage = true;
    }
    if (usage || s.dir.empty()) {
        std::fprintf(stderr,
                     "usage: benchgen [--image-size BYTES] [--scattered RECORDS] "
                     "[--clustered REGIONS] [--dense BYTES] [--small RECORDS] [--raw] DIR\n"
                     "  Sizes take a K, M or G suffix. Defaults: 700M, 1000000, 400, 256M, 1000.\n"
                     "  --raw: the image's sectors are CD data sectors with right EDC and ECC.\n"
                     "  Writes DIR/base.bin and, for each of scattered, shuffled, clustered,\n"
                     "  dense and small, NAME.v1.zem, NAME.v2.zem and NAME.bin (the patched image).\n");
        return 2;
    }
    int64_t minsize = zem::imageblockpos + zem::checkblocklen;
    if (s.imagesize < minsize || s.imagesize > INT32_MAX)
        fail("the image size must be from " + std::to_string(minsize) + " to " +
             std::to_string(INT32_MAX) + " bytes");
    if (s.dense > s.imagesize) fail("the dense change set does not fit the image");

    Random rnd{seed};
    bytes image(size_t(s.imagesize));
    rnd.fill(image.data(), image.size());
    if (s.raw) makeraw(image);
    writefile(s.dir + "/base.bin", image);

    scatterboth(s, image, rnd);
    cluster(s, image, rnd);
    densify(s, image, rnd);
    bytes data;
    writeset(s, image, "small", scatter(image, rnd, s.small, zem::recmaxdata, data), data);
    return 0;
}
