// The entry routine: opens both files, identifies the patch, runs the stages.
#include <cstring>

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

// Opens the image for update and the patch for reading. Prints the usage
// line or the open-failure line and ends the run when it cannot.
static bool openfiles(RunState &rs, int argc, char **argv)
{
    if (argc < 3) {
        printf("Usage: Mavrin <Binfile> <ZEM-File>\n");
        return false;
    }
    rs.binfile = fopen(argv[1], "rb+");
    if (!rs.binfile) {
        printf("File %s does not exist.\n", argv[1]);
        return false;
    }
    rs.zemfile = fopen(argv[2], "rb");
    if (!rs.zemfile) {
        printf("File %s does not exist.\n", argv[2]);
        return endrun(rs);   // nothing was written to the image
    }
    return true;
}

// Checks the magic and the method, reads the description and prints the
// information lines. Ends the run for a file that is not a ZEM patch or
// whose method is unknown.
static bool readheader(RunState &rs, const char *zempath)
{
    /* Identify */
    if (fread(rs.buffer, 1, zem::magiclen, rs.zemfile) != size_t(zem::magiclen) ||
        std::memcmp(rs.buffer, "ZEM", zem::magiclen) != 0) {
        printf("File %s if *NO* ZEM file.\n", zempath);
        return endrun(rs);
    }
    fseeko(rs.zemfile, zem::methodpos, SEEK_SET);
    if (fread(&rs.method, 1, 1, rs.zemfile) != 1) rs.method = 0;
    if (rs.method != zem::methodv1 && rs.method != zem::methodv2) {
        printf("Unknown Encodingmethod! - check for updates.\n");
        return endrun(rs);
    }

    /* Information lines */
    fseeko(rs.zemfile, zem::descpos, SEEK_SET);
    (void)fread(rs.desc, 1, zem::desclen, rs.zemfile);   // short: the rest stays zero
    printf("\nFilename       : %s\n", zempath);
    printf("Enc. Method    : %d (%s)\n", rs.method,
           rs.method == zem::methodv1 ? "ZEM1.0" : "ZEM2.0");
    printf("Description    : %.*s\n", int(zem::desclen), rs.desc);

    fseeko(rs.zemfile, 0, SEEK_END);
    rs.zemlen = ftello(rs.zemfile);
    return true;
}

// Sets seekpos to the first record and count to the length of the records
// area: everything behind the header, less the trailer when there is one.
static void findrecords(RunState &rs)
{
    if (rs.method == zem::methodv1) {
        rs.seekpos = zem::v1headerlen;
        rs.count = rs.zemlen - zem::v1headerlen;
        return;
    }
    rs.seekpos = zem::v2headerlen;
    rs.count = rs.zemlen - zem::v2headerlen;
    if (rs.dizyn == 1) rs.count -= zem::dizfixedlen + int64_t(rs.dizlensave);
}

void mavrinrun(RunState &rs, int argc, char **argv)
{
    printf("Mavrin v2.0 for Linux/Unix\n");
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
