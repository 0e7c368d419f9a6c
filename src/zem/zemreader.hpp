// The one reader of ZEM patches: what a file is, where its records lie, and
// when a patch is damaged. Every program that reads patches uses it, so they
// cannot disagree. The callers do their own I/O for the header and the
// trailer and own every buffer; nothing here allocates.
#pragma once

#include <cstdint>

#include "zemformat.hpp"

namespace zem {

// What the first bytes of a file say it is.
enum kind { notzem, unknownmethod, version1, version2 };

// head holds the file's first n bytes. A file too short for the method byte
// reads as method 0, version 1.0.
kind identify(const unsigned char *head, int64_t n);

// The FILE_ID.DIZ trailer of a version 2.0 patch, present exactly when the
// four bytes that begin diztagfromend bytes before the end read ".DIZ".
struct Trailer {
    bool present;
    int32_t len;   // text length as stored: it may be negative or too large
};

// tail holds the file's last diztagfromend bytes (or fewer, when the file is
// that short: then there is no trailer).
Trailer findtrailer(const unsigned char *tail, int64_t filelen);

// Where the trailer's text lies and how much of it is shown: the first
// shown bytes of readlen bytes read at patch offset at (up to a zero byte).
// A length that does not fit the file reads and shows nothing.
struct TrailerText {
    int64_t at;
    long readlen;   // at most diztextmax
    long shown;     // len less the dizhidden bytes never shown, at most diztextmax
};
TrailerText trailertext(const Trailer &t, int64_t filelen);

// Why a patch is damaged.
enum flaw {
    flawnone,
    flawheader,    // the file is shorter than its header and trailer
    flawtrailer,   // the trailer's stored text length is negative
    flawhead,      // the records area ends inside a record's head
    flawoffset,    // a record names a negative image offset
    flawdata,      // a record's data runs past the end of the records area
    flawshort,     // the file ended before the records area did
};
// A phrase for a user: "a record names a negative image offset".
const char *describe(flaw f);

// The records area: records back to back from patch offset first, len bytes
// in all. It is sound when it lies within the file behind the header and the
// trailer's length is not negative; otherwise the patch is damaged.
struct Area {
    int64_t first;
    int64_t len;
    flaw damage;   // flawnone, flawheader or flawtrailer
};
Area recordsarea(kind k, const Trailer &t, int64_t filelen);

// Reads the records of a sound area one by one, front to back: either from a
// file descriptor through a buffer the caller owns, or from memory that holds
// the whole area. Checks each record as it goes: a head within the area, a
// non-negative offset, data within the area.
struct RecordReader {
    int fd;                      // the patch, or -1 when the area is in memory
    unsigned char *space;        // the caller's buffer, spacelen bytes
    long spacelen;
    const unsigned char *next;   // bytes at hand, not yet used: [next, end)
    const unsigned char *end;
    int64_t unread;              // area bytes behind end, still in the file
    int64_t fileat;              // patch offset of the byte at end

    int64_t recat;      // patch offset of the record last read, or of the damaged one
    int64_t records;    // records read so far
    uint64_t heads;     // hash of the offsets and lengths read so far
    flaw damage;        // why the area is damaged, once it is found to be

    // The record last read. Its data stays valid until the next call, or for
    // as long as the memory lasts when the area is in memory.
    int32_t pos;
    long len;
    const unsigned char *data;
};

// Reads the area from fd; space must hold at least recheadlen + recmaxdata
// bytes, and more makes fewer reads.
void readrecords(RecordReader &r, const Area &a, int fd, unsigned char *space, long spacelen);
// Reads the area from memory: area holds its a.len bytes.
void readrecords(RecordReader &r, const Area &a, const unsigned char *area);

// The patch offset of the next record to read: how far the reader has come.
inline int64_t nextat(const RecordReader &r)
{
    return r.fileat - (r.end - r.next);
}

enum step {
    steprecord,   // a record was read: pos, len, data
    stepend,      // the records filled the area exactly; no record was read
    stepdamaged,  // the record at recat does not fit; damage says why
    stepfailed,   // reading the file failed; errno says why
};
step nextrecord(RecordReader &r);

// Look-ahead, for a caller that plans its work on the records to come.
// fillahead makes at least n bytes of the area (all that is left, if fewer)
// at hand without using them; the data of the record last read stays valid
// (data points to where it moved). It returns steprecord, or stepdamaged or
// stepfailed as nextrecord would.
step fillahead(RecordReader &r, long n);
// Sets ahead to read, from memory, the records r has at hand, leaving r as it
// is. ahead stops where those bytes end: with stepend, or with stepdamaged on
// a record they hold only part of; neither says anything about the patch.
void peekrecords(const RecordReader &r, RecordReader &ahead);
// Moves a reader of an area in memory to the record at patch offset at, one
// that a pass over the area has found; nextrecord then reads it.
void seekrecord(RecordReader &r, int64_t at);

// Reads len bytes of fd at pos into buf, as many reads as it takes; returns
// the count read (short only at the end of the file), or -1 on an error.
long readat(int fd, unsigned char *buf, long len, int64_t pos);

} // namespace zem
