// zemmake: the record planner, the cheapest set of records that covers the changed bytes.
//
// A patch costs, per record, its data plus a head of recheadlen bytes. Covering
// a few unchanged bytes can save a head; a gap of recheadlen unchanged bytes or
// more never can, so the changed bytes fall into clusters planned one by one.
//
// Within a cluster, let F(x) be the cheapest cover of the changed bytes before
// position x. A record covering bytes j..x ends the cheapest cover of byte x:
//     F(x + 1) = min over x - recmaxdata < j <= x of F(j) + (x + 1 - j) + recheadlen,
// and F(x + 1) = F(x) when byte x is unchanged. With g(x) = F(x) - x this reads
//     g(x + 1) = recheadlen + min g(j) over the window,   or g(x) - 1.
// F grows by one at least over a changed byte (drop that byte from the cover
// of the longer prefix) and not at all over an unchanged one, so g never falls
// over a changed byte and falls by one over each unchanged one. The least g in
// the window therefore lies at its first position or at a run's first byte:
// the planner keeps those few run starts by rising g, and each changed byte
// costs one look back and one min. Between the moments a run start leaves
// the window that is the same plain loop over every byte of a run.
//
// Deep in a run the cover is periodic: when the recmaxdata bytes before e
// are all changed, F(e) = F(e - recmaxdata) + recmaxdata + recheadlen. A full
// record after the cover up to e - recmaxdata costs that; and no cover costs
// less, since cutting every record of a cover at e - recmaxdata takes off
// the recmaxdata bytes after it and at least the head of the record that
// holds byte e - 1, which starts after the cut as it holds recmaxdata bytes
// at most. So g(e) = g(e - recmaxdata) + recheadlen from recmaxdata bytes
// into a run on: the planner works out g only where a look back can reach
// it (a run's first and last recmaxdata positions) and ends the cover deep
// in a run with full records.
//
// Memory stays fixed: a cluster larger than planmaxbytes changed bytes or
// planmaxruns runs is cut, which costs at most one record head per cut.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

#include "zemmake.hpp"

// Stands for "no cover" before the cluster; adding a head to it cannot overflow.
constexpr int32_t gnever = INT32_MAX / 2;
constexpr long candring = 2 * zem::recmaxdata;

static void planreset(Planner &pl)
{
    pl.span = 0;
    pl.nbytes = 0;
    pl.nruns = 0;
    pl.candfirst = 0;
    pl.ncand = 0;
}

void planinit(Planner &pl, PatchOut &out, const disc::Image *source)
{
    pl.out = &out;
    pl.source = source;
    pl.g = pl.gbuf + zem::recmaxdata;
    std::fill(pl.gbuf, pl.g, gnever);
    pl.cache = pl.cachebufs[0];
    pl.ahead = pl.cachebufs[1];
    pl.cachepos = 0;
    pl.cachelen = 0;
    pl.aheadstate = Planner::aheadnone;
    pl.aheadpending = false;
    pl.aheadstop = false;
    pl.block = nullptr;
    pl.blockpos = 0;
    pl.blocklen = 0;
    planreset(pl);
}

// Copies the cluster's bytes up to end from the block into data[].
static void plancopy(Planner &pl, int64_t end)
{
    if (end <= pl.have) return;
    memcpy(pl.data + (pl.have - pl.base), pl.block + (pl.have - pl.blockpos), size_t(end - pl.have));
    pl.have = end;
}

void planblock(Planner &pl, const unsigned char *block, int64_t pos, long len)
{
    // The block going away may hold a gap before the cluster's next run.
    if (pl.block && pl.nbytes > 0)
        plancopy(pl, std::min(pl.blockpos + pl.blocklen, pl.base + pl.span + zem::recheadlen - 1));
    pl.block = block;
    pl.blockpos = pos;
    pl.blocklen = len;
}

// Takes the changed bytes from x to end (a run, or the rest of one) into g.
static void planbytes(Planner &pl, long x, long end)
{
    int32_t *g = pl.g;
    while (x < end) {
        /* Run starts behind the window's first position have left it */
        while (pl.ncand > 0 && pl.candx[pl.candfirst] < x - (zem::recmaxdata - 1)) {
            pl.candfirst = (pl.candfirst + 1) % candring;
            pl.ncand--;
        }
        if (pl.ncand == 0) {
            for (; x < end; x++) g[x + 1] = g[x - (zem::recmaxdata - 1)] + int32_t(zem::recheadlen);
            return;
        }
        // Up to where the cheapest run start leaves the window, it stays the cheapest one.
        const long stop = std::min<long>(end, pl.candx[pl.candfirst] + zem::recmaxdata);
        const int32_t best = pl.candg[pl.candfirst];
        for (; x < stop; x++)
            g[x + 1] = std::min(g[x - (zem::recmaxdata - 1)], best) + int32_t(zem::recheadlen);
    }
}

// Takes the changed bytes from x to end, of the run that starts at a. Where
// that skips at least a record's reach of the periodic part (see the top),
// only the g values a look back from past end can reach are worked out.
static void planrunbytes(Planner &pl, long a, long x, long end)
{
    const long from = std::max(x, a + zem::recmaxdata - 1);   // periodic from this byte on
    if (end - from <= 2 * zem::recmaxdata) {
        planbytes(pl, x, end);
        return;
    }
    planbytes(pl, x, from);
    int32_t *g = pl.g;
    long y = end - zem::recmaxdata;
    long k = (y - a) / zem::recmaxdata;   // g[y] = g[b] + k heads, b in the run's first reach
    for (long b = y - k * zem::recmaxdata; y <= end; y++, b++) {
        if (b == a + zem::recmaxdata) {
            b = a;
            k++;
        }
        g[y] = g[b] + int32_t(k * zem::recheadlen);
    }
}

// The reading thread: reads the bytes at aheadpos into the other buffer
// whenever the planner asks for them.
static void readahead(Planner *pl)
{
    std::unique_lock<std::mutex> hold(pl->aheadlock);
    for (;;) {
        pl->aheadchange.wait(hold, [pl] { return pl->aheadstate == Planner::aheadasked ||
                                                 pl->aheadstop; });
        if (pl->aheadstop) return;
        const int64_t pos = pl->aheadpos;
        hold.unlock();
        long got = long(disc::readimage(*pl->source, pl->ahead, datacachelen, pos));
        int err = errno;
        hold.lock();
        pl->aheadlen = got;
        pl->aheaderr = got < 0 ? err : 0;
        pl->aheadstate = Planner::aheaddone;
        pl->aheadchange.notify_all();
    }
}

// Waits for the read-ahead asked for and takes it.
static void aheadwait(Planner &pl)
{
    std::unique_lock<std::mutex> hold(pl.aheadlock);
    pl.aheadchange.wait(hold, [&pl] { return pl.aheadstate == Planner::aheaddone; });
    pl.aheadstate = Planner::aheadnone;
    pl.aheadpending = false;
}

// Has the reading thread read the data file's bytes at pos, starting it
// when needed; where it cannot be started, nothing is read ahead.
static void askahead(Planner &pl, int64_t pos)
{
    if (!pl.aheadthread.joinable()) {
        try {
            pl.aheadthread = std::thread(readahead, &pl);
        } catch (const std::system_error &) {
            return;
        }
    }
    {
        std::lock_guard<std::mutex> hold(pl.aheadlock);
        pl.aheadpos = pos;
        pl.aheadstate = Planner::aheadasked;
    }
    pl.aheadpending = true;
    pl.aheadchange.notify_all();
}

void planend(Planner &pl)
{
    if (!pl.aheadthread.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(pl.aheadlock);
        pl.aheadstop = true;
    }
    pl.aheadchange.notify_all();
    pl.aheadthread.join();
}

// Reads len bytes of record data at pos; returns where they are, or null.
// Records in ascending order are read a whole cache ahead, and once the
// planner goes through the cache front to back, the next cache's worth is
// read on a second thread, overlapping the cache by a record so that every
// record lies whole in one of the two. A record behind the cache or far past
// it (an undo of a patch whose records are out of order) reads only its own
// bytes, since reading ahead for each such record would cost a cache's worth
// of copying apiece.
static const unsigned char *plandata(Planner &pl, int64_t pos, long len)
{
    if (pos >= pl.cachepos && pos + len <= pl.cachepos + pl.cachelen)
        return pl.cache + (pos - pl.cachepos);

    /* The bytes read ahead */
    bool whole = false;   // reading a whole cache
    if (pl.aheadpending) {
        aheadwait(pl);
        if (pl.aheadlen < 0) {
            fail("reading record data failed: %s", strerror(pl.aheaderr));
            return nullptr;
        }
        if (pos >= pl.aheadpos && pos < pl.aheadpos + datacachelen) {
            std::swap(pl.cache, pl.ahead);
            pl.cachepos = pl.aheadpos;
            pl.cachelen = pl.aheadlen;
            whole = true;
        }
    }

    /* Else the bytes themselves */
    if (!whole) {
        whole = pos >= pl.cachepos && pos < pl.cachepos + pl.cachelen + datacachelen;
        long got = long(disc::readimage(*pl.source, pl.cache, whole ? datacachelen : len, pos));
        if (got < 0) {
            fail("reading record data failed: %s", strerror(errno));
            return nullptr;
        }
        pl.cachepos = pos;
        pl.cachelen = got;
    }
    if (pos + len > pl.cachepos + pl.cachelen) {
        fail("an input file became shorter while it was read");
        return nullptr;
    }
    if (whole && pl.cachelen == datacachelen)
        askahead(pl, pl.cachepos + datacachelen - zem::recmaxdata);
    return pl.cache + (pos - pl.cachepos);
}

// Finds the records of the cheapest cover of the cluster, writes them in
// ascending order and starts an empty cluster.
static bool planflush(Planner &pl)
{
    if (pl.nbytes == 0) return true;
    const int32_t *g = pl.g;

    /* Back from the end: each record starts where the cover before it plus
       the record costs what the cover up to its end does */
    long nrecs = 0;
    long r = pl.nruns - 1;   // the run holding the record's last byte
    for (long e = pl.span; e > 0;) {
        const int32_t want = g[e] - int32_t(zem::recheadlen);
        long j = e - zem::recmaxdata;
        if (j >= pl.runstart[r]) {
            // Deep in a run a full record ends the cover; g is not worked out there.
        } else if (j < 0 || g[j] != want) {
            long s = r;   // else a run start within reach
            while (s > 0 && (pl.runstart[s] > e - zem::recmaxdata) && g[pl.runstart[s]] != want)
                s--;
            j = pl.runstart[s];
        }
        if (nrecs == planmaxrecs || j < e - zem::recmaxdata ||
            (j < pl.runstart[r] && g[j] != want))
            return fail("internal error: no record ends the cover at %lld",
                        (long long)(pl.base + e));
        pl.recx[nrecs] = int32_t(j);
        pl.reclen[nrecs] = (unsigned char)(e - j);
        nrecs++;
        while (r > 0 && pl.runstart[r] > j) r--;
        // The cover before j is that before the end of the run ahead of a gap.
        e = j == pl.runstart[r] && r > 0 ? pl.runend[r - 1] : j;
        if (j == pl.runstart[r] && r > 0) r--;
        if (j == 0) break;
    }

    /* Write them front to back */
    for (long k = nrecs - 1; k >= 0; k--) {
        const int64_t pos = pl.base + pl.recx[k];
        const unsigned char *data =
            !pl.source ? pl.data + pl.recx[k] : plandata(pl, pos, pl.reclen[k]);
        if (!data || !outrecord(*pl.out, pos, data, pl.reclen[k])) return false;
    }
    planreset(pl);
    return true;
}

bool planrun(Planner &pl, int64_t start, int64_t len)
{
    while (len > 0) {
        /* A gap this wide is never worth covering; going back starts afresh */
        const int64_t lastpos = pl.base + pl.span - 1;
        if (pl.nbytes > 0 && start != lastpos + 1) {
            int64_t gap = start - lastpos - 1;
            if ((gap < 0 || gap >= zem::recheadlen || pl.nruns == planmaxruns) && !planflush(pl))
                return false;
        }
        if (pl.nbytes == planmaxbytes && !planflush(pl)) return false;

        const long take = long(std::min<int64_t>(len, planmaxbytes - pl.nbytes));
        int32_t *g = pl.g;
        long x;
        if (pl.nbytes == 0) {
            /* A new cluster */
            pl.base = start;
            pl.have = start;
            x = 0;
            g[0] = 0;
        } else {
            x = long(start - pl.base);
        }
        if (pl.nbytes == 0 || x > pl.span) {
            /* A new run: over its gap g falls by one a byte; it may be the cheapest start */
            for (long y = pl.span; y < x; y++) g[y + 1] = g[y] - 1;
            while (pl.ncand > 0 &&
                   pl.candg[(pl.candfirst + pl.ncand - 1) % candring] >= g[x])
                pl.ncand--;
            const long at = (pl.candfirst + pl.ncand) % candring;
            pl.candx[at] = int32_t(x);
            pl.candg[at] = g[x];
            pl.ncand++;
            pl.runstart[pl.nruns] = int32_t(x);
            pl.nruns++;
        }
        if (!pl.source) plancopy(pl, start + take);
        planrunbytes(pl, pl.runstart[pl.nruns - 1], x, x + take);
        pl.span = x + take;
        pl.runend[pl.nruns - 1] = int32_t(pl.span);
        pl.nbytes += take;
        start += take;
        len -= take;
    }
    return true;
}

bool planfinish(Planner &pl)
{
    return planflush(pl);
}
