// Checking the codes of many sectors: two threads each read and check every
// other block into a ring of slots, while the calling thread uses the blocks
// in order. Memory is the ring's, whatever the image's size.
#include "cdscan.hpp"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <fcntl.h>


namespace cd {

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
    int64_t nsectors;
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

// Reads and checks block k into its slot.
void fillslot(long k)
{
    Slot &sl = ring.slots[k % nslots];
    ScanBlock &b = sl.block;
    b.first = int64_t(k) * scanblocksectors;
    b.n = long(std::min<int64_t>(scanblocksectors, ring.nsectors - b.first));
    b.data = sl.data;
    sl.err = 0;
    sl.used = anyinscope(ring.scope, b.first, b.n);
    if (!sl.used) return;
    long len = b.n * sectorlen;
    errno = 0;
    if (disc::readimage(*ring.img, sl.data, len, b.first * sectorlen) != len) {
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

bool scansectors(const disc::Image &img, int64_t nsectors, const uint64_t *scope,
                 const std::function<bool(ScanBlock &)> &use)
{
    ring.img = &img;
    ring.nsectors = nsectors;
    ring.scope = scope;
    ring.nblocks = long((nsectors + scanblocksectors - 1) / scanblocksectors);
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
