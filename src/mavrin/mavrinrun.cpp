// The entry routine: opens both files, identifies the patch, runs the stages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runstate.hpp"

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

// Opens path with flags, without waiting (for a writer to a FIFO, for a
// terminal line), and keeps it only when it holds its bytes at fixed
// offsets: a regular file or a block device. A pipe, a socket or a device
// such as /dev/null would take the records and keep nothing, or hang the
// run. Returns nullptr when the file cannot be opened or is of another kind.
static FILE *openfixed(const char *path, int flags, const char *mode, struct stat &st)
{
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    FILE *f = nullptr;
    if (fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) &&
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}

// Whether two open files are one: one inode, or one block device by two names.
static bool samefile(const struct stat &a, const struct stat &b)
{
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the image for update and the patch for reading, each only when it
// is a regular file or a block device. Prints the usage line or the
// open-failure line and ends the run when it cannot, and also when both are
// one file: writing records into the patch would change what is read next.
// That refusal names the image, the file that cannot be opened for update.
static bool openfiles(RunState &rs, int argc, char **argv)
{
    if (argc < 3) {
        printf("Usage: Mavrin <Binfile> <ZEM-File>\n");
        return false;
    }
    struct stat binst, zemst;
    rs.binfile = openfixed(argv[1], O_RDWR, "rb+", binst);
    if (!rs.binfile) {
        printf("File %s does not exist.\n", argv[1]);
        return false;
    }
    rs.zemfile = openfixed(argv[2], O_RDONLY, "rb", zemst);
    if (!rs.zemfile) {
        printf("File %s does not exist.\n", argv[2]);
        return endrun(rs);   // nothing was written to the image
    }
    if (samefile(binst, zemst)) {
        printf("File %s does not exist.\n", argv[1]);
        return endrun(rs);
    }
    return true;
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
