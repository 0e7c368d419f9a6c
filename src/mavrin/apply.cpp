// The record application: checks the whole records area, then writes every
// record into the image.
#include <csignal>

#include "runstate.hpp"

// The check pass, before anything is written. Proves that the records fill
// the area exactly, each with a non-negative offset; counts them, keeps the
// reader's hash of their heads, and shows each to the writer, which plans
// the write pass. False when the area is damaged or cannot be read.
static bool checkrecords(RunState &rs)
{
    zem::readrecords(rs.reader, rs.area, fileno(rs.zemfile), rs.zemchunk, sizeof rs.zemchunk);
    for (;;) {
        zem::step s = zem::nextrecord(rs.reader);
        if (s == zem::stepend) break;
        if (s != zem::steprecord) return false;
        if (rs.reader.len > 0) noterecord(rs, rs.reader.pos, rs.reader.len);
    }
    rs.nrecords = rs.reader.records;
    rs.heads = rs.reader.heads;
    return true;
}

// The write pass: in file order, or sorted by span first where the writer
// finds that this pays (and the patch can be mapped whole), once every
// track file but the last is found as it was opened. The pass must
// have read exactly the records
// the check pass read; a patch that changed under the run is a failed write,
// for the image may already have changed.
static passresult writerecords(RunState &rs)
{
    if (!startwriter(rs)) return passwritefailed;
    if (rs.betweenpasses) rs.betweenpasses(rs);
    // A track file cut short or lengthened since it was opened (while a
    // question waited, say) would put every record after it elsewhere in
    // the logical image: nothing is written then.
    if (!disc::filesunchanged(rs.image)) return passwritefailed;
    passresult result;
    if (sortpays(rs) && mappatch(rs)) {
        result = writesorted(rs);
        unmappatch(rs);
    } else {
        result = writeinorder(rs);
    }
    if (rs.reader.records != rs.nrecords || rs.reader.heads != rs.heads) result = passwritefailed;
    return result;
}

// Checks the whole records area, then writes it into the image, and ends the
// run. A damaged area leaves the image untouched; a failed write is reported
// in place of "DONE..". SIGINT, SIGTERM and SIGHUP wait while the records
// are written (under two seconds for the benchmark's 700 MiB image, cold), so
// that a run is either left before its first write or finished and reported;
// then such a signal ends the process as it would have.
void applyrecords(RunState &rs)
{
    passresult result = passdamaged;
    bool held = false;
    if (rs.area.damage == zem::flawnone && checkrecords(rs)) {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGHUP);
        held = sigprocmask(SIG_BLOCK, &stop, &rs.oldmask) == 0;
        result = writerecords(rs);
    }

    if (!closefiles(rs) && result == passdone) result = passwritefailed;

    if (result == passdone)
        printf("DONE..\n");
    else if (result == passdamaged)
        printf("ERROR: damaged ZEM file, the BIN file was not changed.\n");
    else
        printf("ERROR: writing the BIN file failed, it may be partly patched.\n");
    fflush(stdout);
    if (held) sigprocmask(SIG_SETMASK, &rs.oldmask, nullptr);
}
