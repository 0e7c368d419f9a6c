// zemmake: a repair patch, which makes right the EDC and ECC of the data
// sectors in scope whose codes are wrong, and changes nothing else.
//
// The sectors in scope are a bitmap over every sector a ZEM offset can reach,
// numbered as cdscan lays them out (a cue sheet's tracks each in its own
// sector size); the image is read and checked on two threads, and the planner
// turns the bytes that right codes change into records, as for any patch.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "cdscan.hpp"
#include "tool.hpp"
#include "zemmake.hpp"
#include "zemreader.hpp"

static Planner planner;

static unsigned char zemspace[256 * 1024];   // the record reader's buffer

// Sectors a record can reach: its offset below 2^31, its data up to 255
// bytes on, in sectors of 2048 bytes at the least (a cue sheet's cooked tracks).
constexpr long leastsector = 2048;
constexpr int64_t maxsectors = (zem::imagelimit + zem::recmaxdata) / leastsector + 1;
static uint64_t scopebits[(maxsectors + 63) / 64];
static cd::SectorMap sectormap;

static void mark(int64_t s)
{
    scopebits[s >> 6] |= uint64_t(1) << (s & 63);
}

// Puts in scope the sectors that bytes [pos, end) lie in; bytes past a
// track's whole sectors lie in none.
static void markbytes(int64_t pos, int64_t end, int &hint)
{
    while (pos < end) {
        const int r = hint = cd::runat(sectormap, pos, hint);
        const cd::SectorRun &run = sectormap.runs[r];
        const int64_t s = cd::sectorin(sectormap, r, pos);
        if (s < 0) {
            pos = run.end;
            continue;
        }
        mark(s);
        pos = run.pos + (s - run.first + 1) * run.size;
    }
}

// Puts in scope the sectors the patch at zempath writes into.
static bool markpatch(const char *zempath)
{
    int64_t zemlen = 0;
    int zemfd = openinput(zempath, zemlen);
    if (zemfd < 0) return false;
    zem::kind kind = zem::notzem;
    zem::Area area = {};
    bool ok = findarea(zemfd, zemlen, zempath, kind, area);
    if (ok) {
        zem::RecordReader rd;
        zem::readrecords(rd, area, zemfd, zemspace, sizeof zemspace);
        zem::step st;
        int hint = 0;
        while ((st = zem::nextrecord(rd)) == zem::steprecord) markbytes(rd.pos, rd.pos + rd.len, hint);
        if (st == zem::stepfailed) ok = fail("reading %s failed: %s", zempath, strerror(errno));
        if (st == zem::stepdamaged)
            ok = fail("%s is damaged at patch offset %lld: %s", zempath, (long long)rd.recat,
                      zem::describe(rd.damage));
    }
    close(zemfd);
    return ok;
}

// The sectors of a run that are in scope (every one without a scope).
static int64_t countrun(const cd::SectorRun &run, const uint64_t *scope)
{
    if (!scope) return run.n;
    int64_t n = 0;
    for (int64_t s = run.first; s < run.first + run.n; s++) n += cd::inscope(scope, s);
    return n;
}

// Counts the sectors in scope from sector from on.
static int64_t countfrom(int64_t from)
{
    int64_t n = 0;
    for (int64_t s = from; s < maxsectors; s++) n += scopebits[s >> 6] >> (s & 63) & 1;
    return n;
}

// Sets the scope; counts the sectors in it that are not whole sectors of the image.
static bool setscope(const RepairScope &scope, const char *imagepath, int64_t nsectors,
                     Summary &sum)
{
    memset(scopebits, 0, sizeof scopebits);
    if (scope.patchpath) {
        if (!markpatch(scope.patchpath)) return false;
        sum.pastend = countfrom(nsectors);
    } else if (scope.range) {
        if (scope.last >= nsectors)
            return fail("%s has %lld whole sectors (0 to %lld); sector %lld is not one of them",
                        imagepath, (long long)nsectors, (long long)nsectors - 1,
                        (long long)scope.last);
        for (int64_t s = scope.first; s <= scope.last; s++) mark(s);
    }
    return true;
}

// Gives sector i of the block right codes and hands the planner the bytes
// that changed.
static bool repairsector(cd::ScanBlock &b, long i, Summary &sum)
{
    unsigned char before[zem::sectorlen];
    unsigned char *s = b.data + i * zem::sectorlen;
    const cd::Kind kind = b.codes[i].kind;
    memcpy(before, s, sizeof before);
    cd::writecodes(s, kind);
    sum.repaired[int(kind)]++;
    const int64_t at = b.pos + i * zem::sectorlen;
    for (long k = 0; k < zem::sectorlen; k++) {
        if (s[k] == before[k]) continue;
        long end = k;
        while (end < zem::sectorlen && s[end] != before[end]) end++;
        if (!planrun(planner, at + k, end - k)) return false;
        sum.changed += end - k;
        k = end;
    }
    return true;
}

// Checks the sectors in scope and plans the records of those that need
// right codes; the sectors of audio and cooked tracks are only counted.
static bool repairsectors(const disc::Image &img, const uint64_t *scope, const char *imagepath,
                          Summary &sum)
{
    const int64_t nsectors = sectormap.nsectors;
    for (int r = 0; r < sectormap.nruns; r++) {
        const cd::SectorRun &run = sectormap.runs[r];
        if (run.kind == cd::Run::audio) sum.audio += countrun(run, scope);
        if (run.kind == cd::Run::cooked) sum.nocodes += countrun(run, scope);
    }
    bool planned = true;
    auto use = [&](cd::ScanBlock &b) {
        tool::progress("checking the codes of the sectors", b.first + b.n, nsectors);
        planblock(planner, b.data, b.pos, b.n * zem::sectorlen);
        for (long i = 0; i < b.n && planned; i++) {
            if (!cd::inscope(scope, b.first + i)) continue;
            const cd::Codes &c = b.codes[i];
            if (c.kind == cd::Kind::none) sum.notdata++;
            else if (c.noedc) sum.noedc++;
            else if (c.right()) sum.right++;
            else planned = repairsector(b, i, sum);
        }
        planblock(planner, nullptr, 0, 0);
        return planned;
    };
    if (cd::scansectors(img, sectormap, scope, use)) return planfinish(planner);
    if (!planned) return false;
    return fail("reading %s failed: %s", imagepath, strerror(errno));
}

bool makerepair(const MakeArgs &args, const RepairScope &scope, const char *imagepath,
                const char *target, PatchOut &out, Summary &sum)
{
    /* Inputs */
    long dizlen = 0;
    if (args.dizpath && !readdiz(args.dizpath, dizlen)) return false;
    static disc::Image img;   // static: an Image is large
    if (!openimagein(imagepath, img, target)) return false;
    cd::mapsectors(img, img.size, sectormap);
    const cd::SectorRun &last = sectormap.runs[sectormap.nruns - 1];
    bool ok = setscope(scope, imagepath, sectormap.nsectors, sum);
    if (ok && !scope.patchpath && !scope.range && last.end > last.pos + last.n * last.size) sum.pastend = 1;

    /* The patch */
    if (ok) ok = outopen(out, target);
    if (ok) {
        planinit(planner, out, nullptr);
        ok = outheader(out, args.v1 ? zem::methodv1 : zem::methodv2, args.desc) &&
             (args.v1 || writecheck(out, img)) &&
             repairsectors(img, scope.patchpath || scope.range ? scopebits : nullptr, imagepath, sum) &&
             (args.v1 || endv2(args, out, dizlen));
        planend(planner);
        ok = ok && outclose(out);
        if (!ok) outabort(out);
    }
    disc::closeimage(img);
    return ok;
}
