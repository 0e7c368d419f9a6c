// zemmake: options, the patch or the undo patch, the summary line.
#include <cerrno>
#include <cstring>
#include <getopt.h>

#include "cdsector.hpp"
#include "tool.hpp"
#include "zemmake.hpp"

static void usage(FILE *to)
{
    fprintf(to,
            "Usage: zemmake [-1] [-e] [-d DESCRIPTION] [-i DIZFILE] [-f] ORIGINAL MODIFIED PATCHFILE\n"
            "       zemmake -u [-d DESCRIPTION] [-f] IMAGE PATCHFILE UNDOFILE\n"
            "       zemmake -r [-p PATCH | -s FIRST[-LAST]] [-1] [-d DESCRIPTION] [-f] IMAGE REPAIRFILE\n"
            "\n"
            "Writes PATCHFILE, a ZEM patch that turns ORIGINAL into MODIFIED when Mavrin\n"
            "applies it. With -u, writes UNDOFILE, a patch that puts back the bytes of\n"
            "IMAGE (as it is now) that PATCHFILE will overwrite: make it before applying\n"
            "PATCHFILE. With -r, writes REPAIRFILE, a patch that makes right the EDC and\n"
            "ECC of IMAGE's data sectors whose codes are wrong.\n"
            "\n"
            "ORIGINAL, MODIFIED and IMAGE may be cue sheets (.cue): their BINARY track\n"
            "files, in order, make one image, as merging them would.\n"
            "\n"
            "  -1, --version-1           write a version 1.0 patch (no image checks, no\n"
            "                            FILE_ID.DIZ)\n"
            "  -d, --description=TEXT    the patch's description, at most %ld bytes\n"
            "  -i, --diz=DIZFILE         carry the text of DIZFILE as the FILE_ID.DIZ trailer\n"
            "                            (at most %ld bytes, no zero byte; version 2.0 only)\n"
            "  -e, --fix-codes           write right EDC and ECC into the data sectors the\n"
            "                            patch changes (MODIFIED itself is not changed)\n"
            "  -f, --force               overwrite an existing output file\n"
            "  -u, --undo                write an undo patch\n"
            "  -r, --repair              write a repair patch for IMAGE: of the sectors\n"
            "                            PATCH writes into (-p), of sectors FIRST to LAST\n"
            "                            (-s), or of every sector\n"
            "  -p, --patch=PATCH         with -r: repair the sectors PATCH writes into\n"
            "  -s, --sectors=RANGE       with -r: repair sectors FIRST to LAST, RANGE being\n"
            "                            FIRST or FIRST-LAST\n"
            "  -h, --help                show this help and exit\n"
            "      --version             show the version and exit\n"
            "\n"
            "Texts are stored byte for byte as given, and Mavrin prints them so; zeminfo\n"
            "shows valid UTF-8 as UTF-8 and anything else as code page 437. Progress is\n"
            "shown on standard error when it is a terminal.\n"
            "\n"
            "Exit status:\n"
            "  0  the patch was written and its summary printed\n"
            "  1  an error: a message on standard error, and no output file was written\n"
            "     or changed\n",
            zem::desclen, zem::diztextmax - zem::dizhidden);
}

static int usageerror(const std::string &msg)
{
    fail("%s", msg.c_str());
    fprintf(stderr, "Try 'zemmake --help' for more information.\n");
    return 1;
}

// The path as one word of a shell command, quoted where it needs to be.
static std::string shellword(const char *path)
{
    std::string s = path;
    if (s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+,:@%=-") ==
            std::string::npos && !s.empty()) {
        return s[0] == '-' ? "./" + s : s;   // not taken for an option
    }
    std::string q = s[0] == '-' ? "'./" : "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The file name without its folders.
static const char *basename_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Prints "1 word" or "n words".
static void printcount(int64_t n, const char *word)
{
    printf("%lld %s%s", (long long)n, word, n == 1 ? "" : "s");
}

// Reads "FIRST" or "FIRST-LAST" (sector numbers) into scope.
static bool parserange(const char *text, RepairScope &scope)
{
    char *end;
    errno = 0;
    if (*text < '0' || *text > '9') return false;
    scope.first = strtoll(text, &end, 10);
    scope.last = scope.first;
    if (*end == '-') {
        if (end[1] < '0' || end[1] > '9') return false;
        scope.last = strtoll(end + 1, &end, 10);
    }
    scope.range = true;
    return *end == 0 && errno == 0 && scope.first <= scope.last;
}

// Warns of the changed data sectors whose codes the patch leaves wrong.
static void warncodes(const Summary &sum)
{
    std::string first;
    for (int64_t i = 0; i < sum.codeswrong && i < namedsectors; i++)
        first += (i ? ", " : "") + std::to_string(sum.codesfirst[i]);
    if (sum.codeswrong > namedsectors) first += ", ...";
    fprintf(stderr,
            "zemmake: warning: %lld data sector%s the patch changes %s a wrong EDC or ECC in the "
            "modified image (sector%s %s): it may work in emulators but fail on hardware; "
            "-e writes right codes into them\n",
            (long long)sum.codeswrong, sum.codeswrong == 1 ? "" : "s",
            sum.codeswrong == 1 ? "has" : "have", sum.codeswrong == 1 ? "" : "s", first.c_str());
}

// The rest of a repair's summary line: what it repairs and what it left alone.
static void printrepair(const Summary &sum)
{
    int64_t repaired = 0;
    for (int64_t n : sum.repaired) repaired += n;
    printf("; repairs ");
    printcount(repaired, "sector");
    const char *sep = " (";
    for (cd::Kind k : {cd::Kind::mode1, cd::Kind::form1, cd::Kind::form2}) {
        if (!sum.repaired[int(k)]) continue;
        printf("%s%lld %s", sep, (long long)sum.repaired[int(k)], cd::kindname(k));
        sep = ", ";
    }
    if (repaired) printf(")");
    struct {
        int64_t n;
        const char *why;
    } left[] = {{sum.right, "with right codes"},
                {sum.noedc, "with no EDC (zero: not computed)"},
                {sum.notdata, "not data sectors"},
                {sum.audio, "audio sectors (AUDIO tracks)"},
                {sum.nocodes, "in tracks of fewer than 2352 bytes a sector, which keep no codes"},
                {sum.pastend, "not whole sectors of the image"}};
    int64_t alone = sum.right + sum.noedc + sum.notdata + sum.audio + sum.nocodes + sum.pastend;
    printf("; leaves alone ");
    printcount(alone, "sector");
    sep = ": ";
    for (const auto &l : left) {
        if (!l.n) continue;
        printf("%s%lld %s", sep, (long long)l.n, l.why);
        sep = ", ";
    }
}

int zemmakemain(int argc, char **argv)
{
    /* Options */
    MakeArgs args = {};
    RepairScope scope = {};
    bool undo = false, repair = false, hasdesc = false;
    static const struct option longopts[] = {{"version-1", no_argument, nullptr, '1'},
                                              {"description", required_argument, nullptr, 'd'},
                                              {"diz", required_argument, nullptr, 'i'},
                                              {"force", no_argument, nullptr, 'f'},
                                              {"undo", no_argument, nullptr, 'u'},
                                              {"help", no_argument, nullptr, 'h'},
                                              {"version", no_argument, nullptr, 'V'},
                                              {"fix-codes", no_argument, nullptr, 'e'},
                                              {"repair", no_argument, nullptr, 'r'},
                                              {"patch", required_argument, nullptr, 'p'},
                                              {"sectors", required_argument, nullptr, 's'},
                                              {nullptr, 0, nullptr, 0}};
    int c;
    optind = 0;   // from the start, also when called again in one process
    opterr = 0;   // our own messages, with our name
    tool::progressstart("zemmake");
    while ((c = getopt_long(argc, argv, ":1d:i:fuerp:s:h", longopts, nullptr)) != -1) {
        switch (c) {
        case '1': args.v1 = true; break;
        case 'd': args.desc = optarg; hasdesc = true; break;
        case 'i': args.dizpath = optarg; break;
        case 'f': args.force = true; break;
        case 'u': undo = true; break;
        case 'e': args.fixcodes = true; break;
        case 'r': repair = true; break;
        case 'p': scope.patchpath = optarg; break;
        case 's':
            if (!parserange(optarg, scope))
                return usageerror((std::string("-s needs FIRST or FIRST-LAST, sector numbers "
                                               "with FIRST not above LAST, not ") + optarg).c_str());
            break;
        case 'h': usage(stdout); return 0;
        case 'V': printf("zemmake %s\n", MAVRIN_VERSION); return 0;
        default: return usageerror(tool::optionerror(c, argv, longopts));
        }
    }
    if (undo && repair) return usageerror("-u and -r exclude each other");
    if (args.fixcodes && (undo || repair))
        return usageerror("-e goes with making a patch from ORIGINAL and MODIFIED");
    if ((scope.patchpath || scope.range) && !repair) return usageerror("-p and -s go with -r");
    if (scope.patchpath && scope.range) return usageerror("-p and -s exclude each other");
    if (repair && argc - optind != 2) return usageerror("expected two file names");
    if (!repair && argc - optind != 3) return usageerror("expected three file names");
    const char *in1 = argv[optind], *in2 = argv[optind + 1];
    const char *target = argv[optind + (repair ? 1 : 2)];
    if (repair) in2 = scope.patchpath;
    if (args.desc.size() > size_t(zem::desclen)) {
        fail("the description is %zu bytes long; at most %ld fit", args.desc.size(), zem::desclen);
        return 1;
    }
    if (args.dizpath && (args.v1 || undo)) {
        fail("-i needs a version 2.0 patch; %s patches carry no FILE_ID.DIZ",
             undo ? "undo" : "version 1.0");
        return 1;
    }
    if (undo && !hasdesc)
        args.desc = std::string("undo ").append(basename_of(in2)).substr(0, zem::desclen);
    if (repair && !hasdesc)
        args.desc = std::string("codes of ").append(basename_of(in1)).substr(0, zem::desclen);
    if (!checktarget(target, args.force, in1, in2, args.dizpath)) return 1;

    /* The patch, complete in its temporary file */
    PatchOut out = {};
    Summary sum = {};
    bool ok = undo     ? makeundo(args, in1, in2, target, out, sum)
              : repair ? makerepair(args, scope, in1, target, out, sum)
                       : makepatch(args, in1, in2, target, out, sum);
    tool::progressclear();
    if (!ok) return 1;
    if (!undo && !repair && !args.fixcodes && sum.codeswrong > 0) warncodes(sum);
    if (!undo && !repair && sum.changed == 0 && sum.grows == 0)
        fprintf(stderr, "zemmake: warning: %s and %s are identical: the patch changes nothing\n", in1, in2);

    /* Summary: printed before the patch is put in place, so that a failure
       to print it still leaves nothing behind */
    if (undo) {
        printf("%s: ZEM1.0 undo patch, ", target);
        printcount(out.records, "record");
        printf(", ");
        printcount(sum.changed, "byte");
        printf(" restored, a %lld-byte patch", (long long)out.size);
        // The undo cannot shorten the image; the one command that can, exactly.
        if (sum.grows > 0) {
            printf("; %s lengthens the image by ", in2);
            printcount(sum.grows, "byte");
            printf(": after applying the undo, run truncate -s %lld %s", (long long)sum.lastsize,
                   shellword(sum.lastfile).c_str());
        }
    } else {
        printf("%s: %s patch, ", target, args.v1 ? "ZEM1.0" : "ZEM2.0");
        printcount(out.records, "record");
        printf(", ");
        printcount(sum.changed, "changed byte");
        if (sum.grows > 0) {
            printf(", ");
            printcount(sum.grows, "byte");
            printf(" appended");
        }
        printf(", a %lld-byte patch", (long long)out.size);
        if (repair) printrepair(sum);
        if (args.fixcodes) {
            printf("; EDC and ECC made right in ");
            printcount(sum.codeswrong, "sector");
        }
    }
    printf("\n");
    if (fflush(stdout) != 0 || ferror(stdout)) {
        int err = errno;
        outabort(out);
        fail("cannot print the summary: %s; %s was not written", strerror(err), target);
        return 1;
    }
    return outplace(out, args.force) ? 0 : 1;
}
