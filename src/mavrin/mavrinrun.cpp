// The entry routine: opens both files, identifies the patch, runs the stages.
#include <unistd.h>

#include "runstate.hpp"
#include "zemopen.hpp"

bool closefiles(RunState &rs)
{
    bool binok = true;
    if (rs.zemfile) fclose(rs.zemfile);
    if (rs.binfile) binok = fclose(rs.binfile) == 0;
    rs.zemfile = nullptr;
    rs.binfile = nullptr;
    return binok;
}

bool endrun(RunState &rs)
{
    closefiles(rs);
    return false;
}

// Opens the image for update and the patch for reading, as zem::openpair
// does: each only when it is a regular file or a block device, and not both
// one file. Prints the usage line or the open-failure line and ends the run
// when it cannot. A refusal of one file for two names names the image, the
// file that cannot be opened for update.
static bool openfiles(RunState &rs, int argc, char **argv)
{
    if (argc < 3) {
        printf("Usage: Mavrin <Binfile> <ZEM-File>\n");
        return false;
    }
    zem::OpenPair fds;
    zem::openoutcome got = zem::openpair(argv[1], argv[2], fds);
    if (got == zem::openedboth) {
        rs.binfile = fdopen(fds.imagefd, "rb+");
        if (!rs.binfile) close(fds.imagefd);
        rs.zemfile = fdopen(fds.patchfd, "rb");
        if (!rs.zemfile) close(fds.patchfd);
        if (!rs.binfile) got = zem::imagerefused;
        else if (!rs.zemfile) got = zem::patchrefused;
    }
    if (got == zem::openedboth) return true;
    printf("File %s does not exist.\n", got == zem::patchrefused ? argv[2] : argv[1]);
    return endrun(rs);   // nothing was written to the image
}

// Checks the magic and the method, reads the description and prints the
// information lines. Ends the run for a file that is not a ZEM patch or
// whose method is unknown.
static bool readheader(RunState &rs, const char *zempath)
{
    /* Identify */
    unsigned char head[zem::methodpos + 1] = {0};
    size_t got = fread(head, 1, sizeof head, rs.zemfile);
    zem::kind kind = zem::identify(head, int64_t(got));
    if (kind == zem::notzem) {
        printf("File %s if *NO* ZEM file.\n", zempath);
        return endrun(rs);
    }
    if (kind == zem::unknownmethod) {
        printf("Unknown Encodingmethod! - check for updates.\n");
        return endrun(rs);
    }
    rs.method = kind == zem::version1 ? zem::methodv1 : zem::methodv2;

    /* Information lines */
    fseeko(rs.zemfile, zem::descpos, SEEK_SET);
    (void)fread(rs.desc, 1, zem::desclen, rs.zemfile);   // short: the rest stays zero
    printf("\nFilename       : %s\n", zempath);
    printf("Enc. Method    : %d (%s)\n", rs.method,
           rs.method == zem::methodv1 ? "ZEM1.0" : "ZEM2.0");
    printf("Description    : ");
    showtext(rs, rs.desc, zem::desclen);
    printf("\n");

    fseeko(rs.zemfile, 0, SEEK_END);
    rs.zemlen = ftello(rs.zemfile);
    return true;
}

// Finds the records area: everything behind the header, less the trailer
// when there is one.
static void findrecords(RunState &rs)
{
    zem::Trailer trailer = {rs.dizyn == 1, rs.dizlensave};
    rs.area = zem::recordsarea(rs.method == zem::methodv1 ? zem::version1 : zem::version2,
                               trailer, rs.zemlen);
}

void mavrinrun(RunState &rs, int argc, char **argv)
{
    printf("Mavrin v2.0 for Linux/Unix\n");
    rs.toterminal = isatty(STDOUT_FILENO) == 1;
    if (!openfiles(rs, argc, argv)) return;
    if (!readheader(rs, argv[2])) return;
    if (rs.method == zem::methodv2) {
        if (!showdiz(rs)) return;
        if (!checkimage(rs)) return;
    } else {
        printf("File_id.diz    : no\n\n");   // version 1.0 has no trailer
    }
    findrecords(rs);
    printf("Patching ... ");
    fflush(stdout);
    applyrecords(rs);
}
