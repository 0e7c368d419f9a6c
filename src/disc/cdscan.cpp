// Checking the codes of many sectors: two threads each read and check every
// other block into a ring of slots, while the calling thread uses the blocks
// in order. Memory is the ring's, whatever the image's size.
#include "cdscan.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <fcntl.h>


namespace cd {

void mapsectors(const disc::Image &img, int64_t size, SectorMap &map)
{
    map.nruns = 0;
    map.nsectors = 0;
    for (int64_t &c : map.counts) c = 0;
    if (!img.cue || img.ntracks == 0) {
        map.runs[map.nruns++] = {0, size, 0, size / sectorlen, sectorlen, Run::raw, -1};
    } else {
        for (int i = 0; i < img.ntracks; i++) {
            const disc::Track &t = img.tracks[i];
            SectorRun &r = map.runs[map.nruns++];
            r.pos = t.first;
            r.end = i + 1 < img.ntracks ? img.tracks[i + 1].first : std::max(size, t.first);
            r.size = t.sectorsize > 0 ? t.sectorsize : sectorlen;
            r.kind = std::strcmp(t.mode, "AUDIO") == 0 ? Run::audio
                     : r.size == sectorlen             ? Run::raw
                                                       : Run::cooked;
            r.first = map.nsectors;
            r.n = (r.end - r.pos) / r.size;
            r.track = i;
            map.nsectors += r.n;
        }
    }
    map.nsectors = 0;
    for (int i = 0; i < map.nruns; i++) {
        map.nsectors += map.runs[i].n;
        map.counts[int(map.runs[i].kind)] += map.runs[i].n;
    }
}

int runat(const SectorMap &map, int64_t pos, int hint)
{
    if (pos < 0) return -1;
    auto holds = [&map, pos](int r) {
        return map.runs[r].pos <= pos && (pos < map.runs[r].end || r == map.nruns - 1);
    };
    if (hint >= 0 && hint < map.nruns && holds(hint)) return hint;
    int lo = 0, hi = map.nruns - 1;   // the last run that starts at or before pos
    while (lo < hi) {
        int mid = (lo + hi + 1) / 2;
        if (map.runs[mid].pos <= pos) lo = mid;
        else hi = mid - 1;
    }
    return lo;
}

int64_t sectorin(const SectorMap &map, int r, int64_t pos)
{
    const SectorRun &run = map.runs[r];
    int64_t s = (pos - run.pos) / run.size;
    if (s >= run.n && r != map.nruns - 1) return -1;
    return run.first + s;
}

namespace {

constexpr long nslots = 6;
constexpr long nreaders = 2;

struct Slot {
    unsigned char data[scanblocksectors * sectorlen];
    ScanBlock block;
    bool ready;
    bool used;   // some sector of the block is in scope
    int err;     // errno of a failed read, 0 when it worked
};

struct Ring {
    Slot slots[nslots];
    const disc::Image *img;
    const SectorMap *map;
    long runblock[disc::maxtracks + 1];   // the first block of each run; the last: nblocks
    const uint64_t *scope;
    long nblocks;
    long taken;   // blocks used by the caller; their slots are free
    bool stop;
    std::mutex lock;
    std::condition_variable slotfree, slotready;
};
Ring ring;

// Whether any sector of the block from first on, n sectors, is in scope.
bool anyinscope(const uint64_t *scope, int64_t first, long n)
{
    for (long i = 0; i < n; i++)
        if (inscope(scope, first + i)) return true;
    return false;
}

// Reads and checks block k into its slot: block j of the raw sectors of
// the run it falls in.
void fillslot(long k)
{
    Slot &sl = ring.slots[k % nslots];
    ScanBlock &b = sl.block;
    int r = 0;
    while (ring.runblock[r + 1] <= k) r++;
    const SectorRun &run = ring.map->runs[r];
    const int64_t j = int64_t(k - ring.runblock[r]) * scanblocksectors;
    b.first = run.first + j;
    b.pos = run.pos + j * sectorlen;
    b.n = long(std::min<int64_t>(scanblocksectors, run.n - j));
    b.data = sl.data;
    sl.err = 0;
    sl.used = anyinscope(ring.scope, b.first, b.n);
    if (!sl.used) return;
    long len = b.n * sectorlen;
    errno = 0;
    if (disc::readimage(*ring.img, sl.data, len, b.pos) != len) {
        sl.err = errno ? errno : EIO;
        return;
    }
    for (long i = 0; i < b.n; i++)
        b.codes[i] = inscope(ring.scope, b.first + i) ? checkcodes(sl.data + i * sectorlen)
                                                      : Codes{Kind::none, false, false, false};
}

// A reading thread: every nreaders-th block from first on, as slots come free.
void reader(long first)
{
    for (long k = first; k < ring.nblocks; k += nreaders) {
        {
            std::unique_lock<std::mutex> hold(ring.lock);
            ring.slotfree.wait(hold, [k] { return k - ring.taken < nslots || ring.stop; });
            if (ring.stop) return;
        }
        fillslot(k);
        {
            std::lock_guard<std::mutex> hold(ring.lock);
            ring.slots[k % nslots].ready = true;
        }
        ring.slotready.notify_all();
    }
}

// Stops the readers and waits for them.
void stopreaders(std::thread *threads)
{
    {
        std::lock_guard<std::mutex> hold(ring.lock);
        ring.stop = true;
    }
    ring.slotfree.notify_all();
    for (long t = 0; t < nreaders; t++)
        if (threads[t].joinable()) threads[t].join();
}

} // namespace

bool scansectors(const disc::Image &img, const SectorMap &map, const uint64_t *scope,
                 const std::function<bool(ScanBlock &)> &use)
{
    ring.img = &img;
    ring.map = &map;
    ring.scope = scope;
    ring.nblocks = 0;
    for (int r = 0; r < map.nruns; r++) {
        ring.runblock[r] = ring.nblocks;
        if (map.runs[r].kind == Run::raw)
            ring.nblocks += long((map.runs[r].n + scanblocksectors - 1) / scanblocksectors);
    }
    ring.runblock[map.nruns] = ring.nblocks;
    ring.taken = 0;
    ring.stop = false;
    for (Slot &sl : ring.slots) sl.ready = false;
    for (int i = 0; i < img.nfiles; i++) posix_fadvise(img.files[i].fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    /* The readers; where threads cannot be started, this one reads */
    std::thread threads[nreaders];
    bool solo = false;
    try {
        for (long t = 0; t < nreaders; t++) threads[t] = std::thread(reader, t);
    } catch (const std::system_error &) {
        solo = true;
        stopreaders(threads);
    }

    bool ok = true;
    for (long k = 0; k < ring.nblocks && ok; k++) {
        Slot &sl = ring.slots[k % nslots];
        if (solo) {
            fillslot(k);
        } else {
            std::unique_lock<std::mutex> hold(ring.lock);
            ring.slotready.wait(hold, [&sl] { return sl.ready; });
        }
        if (sl.err != 0) {
            errno = sl.err;
            ok = false;
        } else if (sl.used) {
            ok = use(sl.block);
        }
        {
            std::lock_guard<std::mutex> hold(ring.lock);
            sl.ready = false;
            ring.taken = k + 1;
        }
        ring.slotfree.notify_all();
    }
    int err = errno;
    if (!solo) stopreaders(threads);
    errno = err;
    return ok;
}

} // namespace cd
