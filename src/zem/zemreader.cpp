// The one reader of ZEM patches: identification, trailer, records area, records.
#include "zemreader.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace zem {

kind identify(const unsigned char *head, int64_t n)
{
    if (n < magiclen || std::memcmp(head + magicpos, magictext, magiclen) != 0) return notzem;
    int method = n > methodpos ? head[methodpos] : methodv1;
    if (method == methodv1) return version1;
    if (method == methodv2) return version2;
    return unknownmethod;
}

Trailer findtrailer(const unsigned char *tail, int64_t filelen)
{
    Trailer t = {false, 0};
    if (filelen < diztagfromend || std::memcmp(tail, diztagtext, diztaglen) != 0) return t;
    t.present = true;
    t.len = getle32(tail + diztaglen);
    return t;
}

TrailerText trailertext(const Trailer &t, int64_t filelen)
{
    TrailerText x = {0, 0, 0};
    if (!t.present || t.len < 0 || t.len > filelen - diztextfromend) return x;
    x.at = filelen - diztextfromend - t.len;
    x.readlen = t.len < diztextmax ? long(t.len) : diztextmax;
    x.shown = long(t.len) - dizhidden;
    if (x.shown < 0) x.shown = 0;
    if (x.shown > diztextmax) x.shown = diztextmax;
    return x;
}

const char *describe(flaw f)
{
    switch (f) {
    case flawnone: return "not damaged";
    case flawheader: return "the file is shorter than its header and trailer";
    case flawtrailer: return "the FILE_ID.DIZ trailer gives a negative text length";
    case flawhead: return "the records area ends inside a record";
    case flawoffset: return "a record names a negative image offset";
    case flawdata: return "a record's data runs past the end of the records area";
    case flawshort: return "the file ends before its records area";
    }
    return "damaged";
}

Area recordsarea(kind k, const Trailer &t, int64_t filelen)
{
    Area a = {v1headerlen, filelen - v1headerlen, flawnone};
    if (k == version2) {
        a.first = v2headerlen;
        a.len = filelen - v2headerlen;
        // A negative text length would move the end of the area into the
        // trailer, so that records could carry its tag and length.
        if (t.present) a.len -= dizfixedlen + int64_t(t.len);
        if (t.present && t.len < 0) a.damage = flawtrailer;
    }
    if (a.damage == flawnone && (a.len < 0 || a.first + a.len > filelen)) a.damage = flawheader;
    return a;
}

static void start(RecordReader &r, const Area &a)
{
    r.recat = a.first;
    r.records = 0;
    r.heads = 0;
    r.damage = flawnone;
    r.pos = 0;
    r.len = 0;
    r.data = nullptr;
}

void readrecords(RecordReader &r, const Area &a, int fd, unsigned char *space, long spacelen)
{
    start(r, a);
    r.fd = fd;
    r.space = space;
    r.spacelen = spacelen;
    r.next = r.end = space;
    r.unread = a.len;
    r.fileat = a.first;
}

void readrecords(RecordReader &r, const Area &a, const unsigned char *area)
{
    start(r, a);
    r.fd = -1;
    r.space = nullptr;
    r.spacelen = 0;
    r.next = area;
    r.end = area + a.len;
    r.unread = 0;
    r.fileat = a.first + a.len;
}

// Makes n bytes of the area available at next (n is at most what is left),
// reading as far ahead as the buffer allows; the keep bytes before next stay
// in front of them. 0: done; else the step to return.
static int fill(RecordReader &r, long n, long keep = 0)
{
    long have = long(r.end - r.next);
    if (have >= n) return 0;
    std::memmove(r.space, r.next - keep, size_t(keep + have));
    r.next = r.space + keep;
    r.end = r.next + have;
    int64_t want = r.spacelen - keep - have < r.unread ? r.spacelen - keep - have : r.unread;
    while (want > 0) {
        ssize_t got = pread(r.fd, r.space + (r.end - r.space), size_t(want), off_t(r.fileat));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return stepfailed;
        if (got == 0) {   // the file is shorter than it was
            r.damage = flawshort;
            return stepdamaged;
        }
        want -= got;
        r.end += got;
        r.unread -= got;
        r.fileat += got;
    }
    return 0;
}

step nextrecord(RecordReader &r)
{
    long have = long(r.end - r.next);
    int64_t left = have + r.unread;
    r.recat = r.fileat - have;   // patch offset of next
    if (left == 0) return stepend;

    /* Head */
    if (left < recheadlen) {
        r.damage = flawhead;
        return stepdamaged;
    }
    // With room for the longest record at hand, no record needs a read.
    constexpr long longest = recheadlen + recmaxdata;
    if (have < longest && r.unread > 0)
        if (int s = fill(r, left < longest ? long(left) : longest)) return step(s);
    int32_t pos = getle32(r.next);
    long len = r.next[recposlen];
    if (pos < 0) {
        r.damage = flawoffset;
        return stepdamaged;
    }
    if (recheadlen + len > left) {
        r.damage = flawdata;
        return stepdamaged;
    }

    /* Data */
    r.pos = pos;
    r.len = len;
    r.data = r.next + recheadlen;
    r.next += recheadlen + len;
    r.records++;
    r.heads = (r.heads ^ (uint64_t(uint32_t(pos)) << 8 | uint64_t(len))) * 0x100000001b3u;
    return steprecord;
}

step fillahead(RecordReader &r, long n)
{
    if (r.fd < 0) return steprecord;   // the whole area is at hand
    // The data of the record last read lies right before next: keep it.
    long keep = r.data && r.data + r.len == r.next ? r.len : 0;
    int64_t left = int64_t(r.end - r.next) + r.unread;
    if (n > r.spacelen - keep) n = r.spacelen - keep;
    if (n > left) n = long(left);
    if (int s = fill(r, n, keep)) return step(s);
    if (keep) r.data = r.next - keep;
    return steprecord;
}

void peekrecords(const RecordReader &r, RecordReader &ahead)
{
    ahead = r;
    ahead.fd = -1;
    ahead.unread = 0;
}

void seekrecord(RecordReader &r, int64_t at)
{
    r.next = r.end - (r.fileat - at);
}

long readat(int fd, unsigned char *buf, long len, int64_t pos)
{
    long done = 0;
    while (done < len) {
        ssize_t n = pread(fd, buf + done, size_t(len - done), off_t(pos + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += long(n);
    }
    return done;
}

} // namespace zem
