// The entry routine: opens both files, identifies the patch, runs the stages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runstate.hpp"
#include "zemopen.hpp"

bool closefiles(RunState &rs)
{
    if (rs.zemfile) fclose(rs.zemfile);
    rs.zemfile = nullptr;
    bool binok = disc::closeimage(rs.image);
    rs.image.nfiles = 0;
    return binok;
}

bool endrun(RunState &rs)
{
    closefiles(rs);
    return false;
}

// Takes the image opened by zem::openpair as the image's one file.
static void takeimage(RunState &rs, int fd)
{
    disc::Image &img = rs.image;
    img.cue = false;
    img.ntracks = 0;
    img.nfiles = 1;
    img.files[0].fd = fd;
    img.files[0].first = 0;
    off_t end = lseek(fd, 0, SEEK_END);
    img.size = img.files[0].size = end < 0 ? 0 : int64_t(end);
}

// Opens the track files of the cue sheet at cuepath for update, then the
// patch as zem::openpair would; a track file that is the patch is refused.
// Returns the file to name in the open-failure line, or nullptr when both
// are open. Nothing is left open on a refusal.
static const char *opencue(RunState &rs, const char *cuepath, const char *zempath)
{
    static disc::ImageError err;   // its path outlives the call
    if (!disc::openimage(rs.image, cuepath, true, nullptr, nullptr, err)) {
        rs.image.nfiles = 0;
        return err.path;
    }
    struct stat st;
    int errnum;
    mode_t mode;
    int fd = zem::openfixed(zempath, O_RDONLY, st, errnum, mode);
    const char *refused = nullptr;
    if (fd < 0) {
        refused = zempath;
    } else if (int i = disc::findfile(rs.image, st); i >= 0) {
        snprintf(err.path, sizeof err.path, "%s", rs.image.files[i].path);
        refused = err.path;
    } else if (!(rs.zemfile = fdopen(fd, "rb"))) {
        refused = zempath;
    }
    if (refused) {
        if (fd >= 0 && !rs.zemfile) close(fd);
        disc::closeimage(rs.image);
        rs.image.nfiles = 0;
    }
    return refused;
}

// Opens the image for update and the patch for reading, as zem::openpair
// does: each only when it is a regular file or a block device, and not both
// one file. An image named as a cue sheet is its track files, each opened
// so. Prints the usage line or the open-failure line and ends the run when
// it cannot. A refusal of one file for two names names the image, the file
// that cannot be opened for update.
static bool openfiles(RunState &rs, int argc, char **argv)
{
    if (argc < 3) {
        printf("Usage: Mavrin <Binfile> <ZEM-File>\n");
        return false;
    }
    if (disc::iscuesheet(argv[1])) {
        const char *refused = opencue(rs, argv[1], argv[2]);
        if (!refused) return true;
        printf("File %s does not exist.\n", refused);
        return false;   // nothing was written to any file
    }
    zem::OpenPair fds;
    zem::openoutcome got = zem::openpair(argv[1], argv[2], fds);
    if (got == zem::openedboth) {
        takeimage(rs, fds.imagefd);
        rs.zemfile = fdopen(fds.patchfd, "rb");
        if (!rs.zemfile) {
            close(fds.patchfd);
            got = zem::patchrefused;
        }
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
