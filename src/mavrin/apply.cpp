// The record application: writes every record of the patch into the image.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "runstate.hpp"

enum passresult { passdone, passdamaged, passwritefailed };

// Writes len bytes at pos with positioned writes until all are written.
static bool pwriteall(int fd, const unsigned char *data, long len, int64_t pos)
{
    long done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, data + done, size_t(len - done), pos + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += long(n);
    }
    return true;
}

#ifdef MAVRIN_URING
// A system call costs more than a small write, so the writes of a scattered
// patch go to the kernel in batches through an io_uring ring. Where the ring
// cannot be had (old kernel, filtered system calls) every write is a pwrite.
static void startring(RunState &rs)
{
    // Setting up a ring and its kernel worker costs about as much as a few
    // thousand writes: a short patch is faster with pwrite alone.
    if (rs.nrecords < ringminrecords) return;
    // Buffered writes go to a kernel worker; with their completions handed
    // back only when this thread waits for them, a scattered patch ran in
    // 0.75 s instead of 1.4 s. Kernels before 6.1 refuse these flags.
    unsigned deferred = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    rs.ringup = io_uring_queue_init(ringdepth, &rs.ring, deferred) == 0 ||
                io_uring_queue_init(ringdepth, &rs.ring, 0) == 0;
}

// Submits the queued writes and waits for every one that left, even after a
// failure: their data lives in wbuf. Checks each result; a short write is
// finished with pwrite. Then wbuf is free again up to the waiting bytes.
static bool waitwrites(RunState &rs)
{
    bool ok = true;
    unsigned sent = 0;
    while (sent < rs.nfly) {
        int n = io_uring_submit(&rs.ring);
        if (n == -EINTR) continue;
        if (n <= 0) break;
        sent += unsigned(n);
    }
    if (sent < rs.nfly) ok = false;   // the rest never left; dropped with the ring

    int fd = fileno(rs.binfile);
    for (unsigned reaped = 0; reaped < sent;) {
        struct io_uring_cqe *cqe;
        int err = io_uring_wait_cqe_nr(&rs.ring, &cqe, sent - reaped);
        if (err == -EINTR) continue;
        if (err < 0) return false;
        while (reaped < sent && io_uring_peek_cqe(&rs.ring, &cqe) == 0) {
            auto *f = static_cast<const RunState::flight *>(io_uring_cqe_get_data(cqe));
            long res = cqe->res;
            io_uring_cqe_seen(&rs.ring, cqe);
            reaped++;
            if (res < 0)
                ok = false;
            else if (res < f->len && ok)
                ok = pwriteall(fd, rs.wbuf + f->at + res, f->len - res, f->pos + res);
        }
    }
    rs.nfly = 0;
    if (rs.wbufstart == rs.wbuflen) rs.wbuflen = rs.wbufstart = 0;
    return ok;
}

// Whether the waiting bytes may overlap writes in flight. Those may run in any
// order, so such a write waits for them first: the later record's bytes win.
static bool overlapsflight(const RunState &rs)
{
    int64_t end = rs.wbufpos + (rs.wbuflen - rs.wbufstart);
    return rs.nfly > 0 && rs.wbufpos < rs.flyhi && end > rs.flylo;
}

// Queues the waiting bytes as one write.
static bool queuewrite(RunState &rs)
{
    long len = rs.wbuflen - rs.wbufstart;
    int64_t end = rs.wbufpos + len;
    if ((overlapsflight(rs) || rs.nfly == ringdepth) && !waitwrites(rs)) return false;

    struct io_uring_sqe *sqe = io_uring_get_sqe(&rs.ring);
    if (!sqe) return false;   // cannot happen: nfly < ringdepth and all were submitted
    RunState::flight &f = rs.fly[rs.nfly];
    f.pos = rs.wbufpos;
    f.at = rs.wbufstart;
    f.len = len;
    io_uring_prep_write(sqe, fileno(rs.binfile), rs.wbuf + f.at, unsigned(len), uint64_t(f.pos));
    io_uring_sqe_set_data(sqe, &f);
    if (rs.nfly == 0 || f.pos < rs.flylo) rs.flylo = f.pos;
    if (rs.nfly == 0 || end > rs.flyhi) rs.flyhi = end;
    rs.nfly++;
    rs.wbufstart = rs.wbuflen;
    return true;
}

// Waits for what is still in flight and takes the ring down; on every path,
// before the image is closed.
static void stopring(RunState &rs)
{
    if (!rs.ringup) return;
    if (rs.nfly > 0) (void)waitwrites(rs);   // the run has failed already
    io_uring_queue_exit(&rs.ring);
    rs.ringup = false;
}
#endif

// Sends the waiting image bytes off as one write: a short one is queued on
// the ring when there is one, a long one is written at once.
static bool sendwaiting(RunState &rs)
{
    long len = rs.wbuflen - rs.wbufstart;
    if (len == 0) return true;
#ifdef MAVRIN_URING
    if (rs.ringup) {
        if (len < ringmaxwrite) return queuewrite(rs);
        // The kernel worker copies a long write no faster than pwrite does.
        if (overlapsflight(rs) && !waitwrites(rs)) return false;
    }
#endif
    if (!pwriteall(fileno(rs.binfile), rs.wbuf + rs.wbufstart, len, rs.wbufpos)) return false;
    rs.wbuflen = rs.wbufstart;   // bytes below still belong to writes in flight
    return true;
}

// Sends the waiting bytes and waits until every write has reached the image;
// wbuf is then empty.
static bool flushwrites(RunState &rs)
{
    if (!sendwaiting(rs)) return false;
#ifdef MAVRIN_URING
    if (rs.ringup) return waitwrites(rs);
#endif
    return true;
}

// Queues the current record's data for the image. A record that starts inside
// the waiting bytes or where they end joins them, over any bytes it overlaps;
// any other first sends them off. Either way the image ends up as if the
// records were written one by one in file order: a later record's bytes win.
static bool putrecord(RunState &rs, int32_t pos, const unsigned char *data, long len)
{
    if (len == 0) return true;
    long waiting = rs.wbuflen - rs.wbufstart;
    int64_t into = int64_t(pos) - rs.wbufpos;   // where the record goes in them
    bool joins = waiting > 0 && into >= 0 && into <= waiting &&
                 rs.wbufstart + into + len <= int64_t(sizeof rs.wbuf);
    if (!joins) {
        if (!sendwaiting(rs)) return false;
        // wbuf is full of writes in flight: they must land before it is reused.
        if (len > long(sizeof rs.wbuf) - rs.wbuflen && !flushwrites(rs)) return false;
        rs.wbufpos = pos;
        into = 0;
    }
    long at = rs.wbufstart + long(into);
    std::memcpy(rs.wbuf + at, data, size_t(len));
    if (at + len > rs.wbuflen) rs.wbuflen = at + len;
    return true;
}

// One pass over the records area. Without writing it only proves that the
// records fill the area exactly, each with a non-negative offset, and counts
// them; with writing it also sends every record to the image.
static passresult passrecords(RunState &rs, bool writing)
{
    zem::readrecords(rs.reader, rs.area, fileno(rs.zemfile), rs.zemchunk, sizeof rs.zemchunk);
    for (;;) {
        zem::step s = zem::nextrecord(rs.reader);
        if (s == zem::stepend) break;
        if (s != zem::steprecord) return passdamaged;   // a read failure too
        if (writing && !putrecord(rs, rs.reader.pos, rs.reader.data, rs.reader.len))
            return passwritefailed;
    }
    if (!writing) rs.nrecords = rs.reader.records;
    if (writing && !flushwrites(rs)) return passwritefailed;
    return passdone;
}

// Checks the whole records area, then writes it into the image, and ends the
// run. A damaged area leaves the image untouched; a failed write is reported
// in place of "DONE..".
void applyrecords(RunState &rs)
{
    passresult result = passdamaged;
    if (rs.area.damage == zem::flawnone) {
        result = passrecords(rs, false);
        if (result == passdone) {
#ifdef MAVRIN_URING
            startring(rs);
#endif
            result = passrecords(rs, true);
#ifdef MAVRIN_URING
            stopring(rs);
#endif
        }
    }

    if (!closefiles(rs) && result == passdone) result = passwritefailed;

    if (result == passdone)
        printf("DONE..\n");
    else if (result == passdamaged)
        printf("ERROR: damaged ZEM file, the BIN file was not changed.\n");
    else
        printf("ERROR: writing the BIN file failed, it may be partly patched.\n");
}
