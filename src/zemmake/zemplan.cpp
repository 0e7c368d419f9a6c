// zemmake: the record planner, the cheapest set of records that covers the changed bytes.
//
// A patch costs, per record, its data plus a head of recheadlen bytes. Covering
// a few unchanged bytes can save a head; a gap of recheadlen unchanged bytes or
// more never can, so the changed bytes fall into clusters planned one by one.
// Within a cluster, with changed bytes b0 < b1 < ... and cost[k] the cheapest
// cover of the first k of them, a record covering bytes j..k-1 gives
//     cost[k] = cost[j] + (b[k-1] - b[j] + 1) + recheadlen,  b[k-1] - b[j] < recmaxdata,
// so cost[k] is b[k-1] + 1 + recheadlen plus the least cost[j] - b[j] over the
// starts within reach: a sliding-window minimum, constant work per changed byte.
// Memory stays fixed: a cluster larger than planmaxbytes changed bytes or
// planmaxruns runs is cut, which costs at most one record head per cut.
#include <cerrno>
#include <cstring>

#include "zemmake.hpp"

void planinit(Planner &pl, PatchOut &out, int datafd)
{
    pl.out = &out;
    pl.datafd = datafd;
    pl.nruns = 0;
    pl.nbytes = 0;
    pl.lastpos = -1;
    pl.cost = 0;
    pl.candfirst = 0;
    pl.ncand = 0;
    pl.cachepos = 0;
    pl.cachelen = 0;
}

constexpr long candring = zem::recmaxdata + 1;

// One more changed byte at p, behind every byte of the cluster so far.
static void planbyte(Planner &pl, int64_t p)
{
    /* The byte may start a record */
    int64_t value = pl.cost - p;
    while (pl.ncand > 0 && pl.cand[(pl.candfirst + pl.ncand - 1) % candring].value >= value)
        pl.ncand--;
    pl.cand[(pl.candfirst + pl.ncand) % candring] = {value, p, pl.nbytes};
    pl.ncand++;

    /* The cheapest record that ends on it starts within recmaxdata bytes */
    while (pl.cand[pl.candfirst].pos <= p - zem::recmaxdata) {
        pl.candfirst = (pl.candfirst + 1) % candring;
        pl.ncand--;
    }
    const Planner::Cand &best = pl.cand[pl.candfirst];
    pl.cost = best.value + p + 1 + zem::recheadlen;
    pl.back[pl.nbytes + 1] = (unsigned char)(pl.nbytes - best.idx);
    pl.nbytes++;
    pl.lastpos = p;
}

// Writes the record of len bytes at pos, its data read from the data file.
// Records in ascending order are read a whole cache ahead; a record behind
// the cache or far past it (an undo of a patch whose records are out of
// order) reads only its own bytes, since reading ahead for each such record
// would cost a cache's worth of copying apiece.
static bool planemit(Planner &pl, int64_t pos, long len)
{
    if (pos < pl.cachepos || pos + len > pl.cachepos + pl.cachelen) {
        bool ahead = pos >= pl.cachepos && pos < pl.cachepos + pl.cachelen + datacachelen;
        long got = readat(pl.datafd, pl.cache, ahead ? datacachelen : len, pos);
        if (got < 0) return fail("reading record data failed: %s", strerror(errno));
        pl.cachepos = pos;
        pl.cachelen = got;
        if (got < len) return fail("an input file became shorter while it was read");
    }
    return outrecord(*pl.out, pos, pl.cache + (pos - pl.cachepos), len);
}

static bool isstart(const Planner &pl, long idx)
{
    return pl.starts[idx / 8] >> (idx % 8) & 1;
}

// Finds the records of the cheapest cover of the cluster, writes them in
// ascending order and starts an empty cluster.
static bool planflush(Planner &pl)
{
    if (pl.nbytes == 0) return true;

    /* Walk the choices back from the end, marking where records start */
    memset(pl.starts, 0, size_t(pl.nbytes / 8 + 1));
    for (long k = pl.nbytes; k > 0;) {
        long j = k - 1 - pl.back[k];
        pl.starts[j / 8] |= (unsigned char)(1u << (j % 8));
        k = j;
    }

    /* Each record runs from its start to the changed byte before the next one */
    long idx = 0;
    int64_t recstart = -1;
    int64_t prev = -1;
    for (long r = 0; r < pl.nruns; r++) {
        for (int64_t p = pl.runpos[r]; p < pl.runpos[r] + pl.runlen[r]; p++, idx++) {
            if (isstart(pl, idx)) {
                if (recstart >= 0 && !planemit(pl, recstart, long(prev - recstart + 1)))
                    return false;
                recstart = p;
            }
            prev = p;
        }
    }
    if (!planemit(pl, recstart, long(prev - recstart + 1))) return false;

    pl.nruns = 0;
    pl.nbytes = 0;
    pl.cost = 0;
    pl.ncand = 0;
    return true;
}

bool planrun(Planner &pl, int64_t start, int64_t len)
{
    for (int64_t p = start; p < start + len; p++) {
        bool joins = pl.nbytes > 0 && p == pl.lastpos + 1;
        if (pl.nbytes > 0 && !joins) {
            // A gap this wide is never worth covering; going back starts afresh.
            int64_t gap = p - pl.lastpos - 1;
            if ((gap < 0 || gap >= zem::recheadlen || pl.nruns == planmaxruns) && !planflush(pl))
                return false;
        }
        if (pl.nbytes == planmaxbytes) {
            if (!planflush(pl)) return false;
        }
        if (pl.nbytes > 0 && p == pl.lastpos + 1) {
            pl.runlen[pl.nruns - 1]++;
        } else {
            pl.runpos[pl.nruns] = p;
            pl.runlen[pl.nruns] = 1;
            pl.nruns++;
        }
        planbyte(pl, p);
    }
    return true;
}

bool planfinish(Planner &pl)
{
    return planflush(pl);
}
