// The record application: writes every record of the patch into the image.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "runstate.hpp"

enum passresult { passdone, passdamaged, passwritefailed };

// Makes at least n bytes of the records area available at zemchunk[chunkat],
// reading ahead as far as the buffer and the area allow. Returns false when
// the area holds fewer than n more bytes or the patch comes up short.
static bool needbytes(RunState &rs, long n)
{
    long have = rs.chunkend - rs.chunkat;
    if (have >= n) return true;
    std::memmove(rs.zemchunk, rs.zemchunk + rs.chunkat, size_t(have));
    rs.chunkat = 0;
    rs.chunkend = have;
    int64_t want = int64_t(sizeof rs.zemchunk) - have;
    if (want > rs.arealeft) want = rs.arealeft;
    size_t got = fread(rs.zemchunk + have, 1, size_t(want), rs.zemfile);
    rs.chunkend += long(got);
    rs.arealeft -= int64_t(got);
    return int64_t(got) == want && rs.chunkend >= n;
}

// Writes the waiting image bytes with one positioned write.
static bool flushwrites(RunState &rs)
{
    int fd = fileno(rs.binfile);
    long done = 0;
    while (done < rs.wbuflen) {
        ssize_t n = pwrite(fd, rs.wbuf + done, size_t(rs.wbuflen - done), rs.wbufpos + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += long(n);
    }
    rs.wbuflen = 0;
    return true;
}

// Queues the current record's data for the image. A record that starts where
// the waiting bytes end joins them; any other first sends them off, so the
// image sees the records in file order and a later record's bytes win.
static bool putrecord(RunState &rs, const unsigned char *data)
{
    if (rs.anz == 0) return true;
    bool joins = rs.wbuflen > 0 && rs.pos == rs.wbufpos + rs.wbuflen &&
                 rs.wbuflen + long(rs.anz) <= long(sizeof rs.wbuf);
    if (!joins) {
        if (!flushwrites(rs)) return false;
        rs.wbufpos = rs.pos;
    }
    std::memcpy(rs.wbuf + rs.wbuflen, data, rs.anz);
    rs.wbuflen += long(rs.anz);
    return true;
}

// One pass over the records area from firstpos, arealen bytes long. Without
// writing it only proves that the records fill the area exactly, each with a
// non-negative offset; with writing it also sends every record to the image.
static passresult passrecords(RunState &rs, int64_t firstpos, int64_t arealen, bool writing)
{
    rs.seekpos = firstpos;
    rs.count = arealen;
    rs.chunkat = rs.chunkend = 0;
    rs.arealeft = arealen;
    if (fseeko(rs.zemfile, firstpos, SEEK_SET) != 0) return passdamaged;
    while (rs.count > 0) {
        /* Record head */
        if (!needbytes(rs, zem::recheadlen)) return passdamaged;
        const unsigned char *head = rs.zemchunk + rs.chunkat;
        rs.pos = zem::getle32(head);
        rs.anz = head[zem::recposlen];
        long reclen = zem::recheadlen + long(rs.anz);
        if (rs.pos < 0 || reclen > rs.count) return passdamaged;

        /* Data */
        if (!needbytes(rs, reclen)) return passdamaged;
        if (writing && !putrecord(rs, rs.zemchunk + rs.chunkat + zem::recheadlen))
            return passwritefailed;
        rs.chunkat += reclen;
        rs.seekpos += reclen;
        rs.count -= reclen;
    }
    if (writing && !flushwrites(rs)) return passwritefailed;
    return passdone;
}

// Checks the whole records area, then writes it into the image, and ends the
// run. A damaged area leaves the image untouched; a failed write is reported
// in place of "DONE..".
void applyrecords(RunState &rs)
{
    int64_t firstpos = rs.seekpos;
    int64_t arealen = rs.count;
    passresult result = passdamaged;
    // A trailer text of negative length would hand trailer bytes to the records.
    if (arealen >= 0 && firstpos + arealen <= rs.zemlen && rs.dizlensave >= 0) {
        result = passrecords(rs, firstpos, arealen, false);
        if (result == passdone) result = passrecords(rs, firstpos, arealen, true);
    }

    if (!closefiles(rs) && result == passdone) result = passwritefailed;

    if (result == passdone)
        printf("DONE..\n");
    else if (result == passdamaged)
        printf("ERROR: damaged ZEM file, the BIN file was not changed.\n");
    else
        printf("ERROR: writing the BIN file failed, it may be partly patched.\n");
}
