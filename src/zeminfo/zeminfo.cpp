// zeminfo: options, the run, the exit status.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "infocore.hpp"
#include "tool.hpp"
#include "zemopen.hpp"

namespace {

// The usage summary.
const char usagetext[] =
    "Usage: zeminfo [--json] [--hash] PATCH [IMAGE]\n"
    "       zeminfo [--json] PATCH... --image IMAGE\n"
    "       zeminfo [--json] --hash IMAGE\n"
    "       zeminfo [--json] --codes IMAGE\n"
    "\n"
    "Explains the ZEM patch PATCH: its version, description, FILE_ID.DIZ text, the\n"
    "image it was made for, its records, and whether it is damaged. With IMAGE,\n"
    "says whether the patch fits that image and why not, how much of it is\n"
    "already applied, and which sectors it would leave with a wrong EDC or ECC.\n"
    "With --image, takes the patches in order, as Mavrin would apply them one\n"
    "after another: says for each whether it fits IMAGE as the earlier ones leave\n"
    "it, which of their bytes it writes over, and the verdict of the whole stack.\n"
    "With --codes, checks the EDC and ECC of every data sector of IMAGE.\n"
    "IMAGE is one file, or a cue sheet (.cue) whose BINARY track files, in order,\n"
    "make one image, as merging them would.\n"
    "\n"
    "      --json      one JSON object on standard output, errors included\n"
    "      --hash      also give CRC32, MD5 and SHA-1 of IMAGE and of each of its\n"
    "                  files; with IMAGE alone, only those\n"
    "      --codes     check the codes of IMAGE's data sectors; no patch\n"
    "  -I, --image=IMAGE  every operand is a patch, applied in order to IMAGE\n"
    "  -h, --help      show this help and exit\n"
    "      --version   show the version and exit\n"
    "\n"
    "Texts in a patch are shown as UTF-8 when they are valid UTF-8, else as code\n"
    "page 437. Progress is shown on standard error when it is a terminal.\n"
    "\n"
    "Exit status:\n"
    "  0  the patch applies cleanly, or is partly applied and Mavrin asks nothing\n"

    "     (without IMAGE: the patch is sound); --codes: every data sector's codes\n"
    "     are right; --hash IMAGE: the hashes were computed\n"
    "  1  an error, a damaged patch, or an image Mavrin cannot open for writing\n"
    "  2  IMAGE is not the image the patch was made for, or is partly applied and\n"
    "     Mavrin asks about what the patch itself changed: Mavrin would ask\n"
    "  3  the patch is already applied: applying it again changes nothing\n"
    "  4  (--codes) some data sector's codes are wrong\n"
    "With --image, the status is that of the first patch that does not apply\n"
    "cleanly, or 0 when every one does.\n";

// The files of a run and what was found.
Input patch, image;
disc::Image img, probe;   // the image, and a trial of Mavrin's opening of a cue sheet
PatchFacts pf;
ImageFacts imf;
CodesFacts cf;

} // namespace

// Ends a run that failed: the message, on standard error or as JSON.
int failrun(bool asjson, const std::string &error)
{
    tool::progressclear();
    if (asjson) printjson(nullptr, nullptr, verror, error);
    else fprintf(stderr, "zeminfo: %s\n", error.c_str());
    return exiterror;
}

// Whether the file at path begins as a ZEM patch does.
bool lookslikepatch(const char *path)
{
    Input in;
    std::string ignored;
    if (!openinput(path, in, ignored)) return false;
    unsigned char head[zem::methodpos + 1];
    bytesat(in, 0, sizeof head, head);
    bool is = zem::identify(head, std::min<int64_t>(in.size, sizeof head)) != zem::notzem;
    closeinput(in);
    return is;
}

// What Mavrin meets when it opens a cue sheet's track files for writing,
// each of them checked against the patch, as the image layer opens them.
void judgecueopen(const char *imagepath, const char *patchpath, ImageFacts &out)
{
    struct stat patchst;
    disc::ImageError err;
    const bool statted = stat(patchpath, &patchst) == 0;
    out.writable = disc::openimage(probe, imagepath, true, statted ? &patchst : nullptr, "the patch", err);
    if (out.writable) {
        disc::closeimage(probe);
        return;
    }
    out.unwritable = tool::imageerror(imagepath, err);
    out.openfailed = err.path;
}

// What Mavrin meets when it opens the image and the patch: sets writable,
// and when it cannot go on, why.
void judgeopen(const char *imagepath, const char *patchpath, ImageFacts &out)
{
    zem::OpenPair fds;
    zem::openoutcome got;
    struct stat st;
    // A file of a kind Mavrin refuses is not opened here for writing at all:
    // opening a device can act on it (a tape rewinds).
    if (stat(imagepath, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        got = zem::imagerefused;
        fds = {-1, -1, S_ISDIR(st.st_mode) ? EISDIR : 0, st.st_mode};
    } else {
        got = zem::openpair(imagepath, patchpath, fds);
    }
    out.writable = got == zem::openedboth;
    if (got == zem::openedboth) {
        close(fds.imagefd);
        close(fds.patchfd);
        return;
    }
    const mode_t m = fds.mode;
    const char *kind = S_ISDIR(m) ? "a folder" : S_ISFIFO(m) ? "a FIFO" : S_ISCHR(m) ? "a character device"
                     : S_ISSOCK(m) ? "a socket" : "a file of another kind";
    const std::string which = got == zem::patchrefused ? "the patch" : "it";
    if (got == zem::samefiles)
        out.unwritable = "it is the patch itself, and Mavrin writes no records into the file it reads them from";
    else if (fds.err == EISDIR)
        out.unwritable = "it is a folder, not a regular file or block device";
    else if (fds.err == 0)
        out.unwritable = which + " is " + kind + ", not a regular file or block device";
    else
        out.unwritable = which + " cannot be opened for " + (got == zem::patchrefused ? "reading" : "writing") +
                         ": " + strerror(fds.err);
}

namespace {

// Closes the image, if it is open.
void closeimage()
{
    if (image.img) disc::closeimage(img);
    image = Input{-1, 0};
}

int run(bool asjson, bool hash, const char *patchpath, const char *imagepath)
{
    std::string error;
    pf = PatchFacts();
    imf = ImageFacts();
    patch = image = Input{-1, 0};   // nothing of an earlier run is closed again
    pf.file = patchpath;
    if (imagepath) imf.file = imagepath;
    if (!cp437init(error)) return failrun(asjson, error);
    if (!openinput(patchpath, patch, error)) return failrun(asjson, error);
    bool ok = readpatch(patch, pf, error);
    if (!ok && pf.kind == zem::notzem && imagepath && lookslikepatch(imagepath)) {
        closeinput(patch);
        return failrun(asjson, std::string(patchpath) + " is not a ZEM patch, but " + imagepath +
                                   " is: the order is PATCH [IMAGE]");
    }
    if (ok && imagepath && disc::iscuesheet(imagepath)) {
        // A cue sheet the image layer refuses is no image to judge at all.
        ok = imf.examined = openimageinput(imagepath, img, image, imf, error);
        if (ok) judgecueopen(imagepath, patchpath, imf);
    } else if (ok && imagepath) {
        // An image Mavrin will refuse for its kind is reported without its facts.
        judgeopen(imagepath, patchpath, imf);
        struct stat st;
        const bool kindrefused = stat(imagepath, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode);
        imf.examined = !kindrefused && openimageinput(imagepath, img, image, imf, error);
        ok = imf.examined || (kindrefused && !imf.writable);
    }
    if (ok) ok = walkrecords(patch, imf.examined ? &image : nullptr, pf, imf.examined ? &imf : nullptr, error);
    if (ok && imf.examined) checkimage(patch, image, pf, imf);
    if (ok && imf.examined && hash) ok = hashfacts(img, imf, error);
    closeinput(patch);
    closeimage();
    if (!ok) return failrun(asjson, error);
    tool::progressclear();

    /* The report */
    verdict v = verdictof(pf, imagepath ? &imf : nullptr);
    if (asjson) printjson(&pf, imagepath ? &imf : nullptr, v, "");
    else printtext(pf, imagepath ? &imf : nullptr, v);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "zeminfo: writing the report failed: %s\n", strerror(errno));
        return exiterror;
    }
    return statusof(v);
}

// zeminfo --codes IMAGE.
int runcodes(bool asjson, const char *imagepath)
{
    std::string error;
    cf = CodesFacts();
    cf.file = imagepath;
    imf = ImageFacts();
    imf.file = imagepath;
    cf.layout = &imf;
    image = Input{-1, 0};
    if (!openimageinput(imagepath, img, image, imf, error)) return failrun(asjson, error);
    bool ok = checkallcodes(image, cf, error);
    closeimage();
    if (!ok) return failrun(asjson, error);
    tool::progressclear();
    verdict v = cf.codesbroken ? vcodeswrong : vcodesright;
    if (asjson) printcodesjson(cf, v);
    else printcodestext(cf, v);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "zeminfo: writing the report failed: %s\n", strerror(errno));
        return exiterror;
    }
    return statusof(v);
}

// zeminfo --hash IMAGE: the image's hashes and nothing else.
int runhash(bool asjson, const char *imagepath)
{
    std::string error;
    imf = ImageFacts();
    imf.file = imagepath;
    image = Input{-1, 0};
    if (!openimageinput(imagepath, img, image, imf, error)) return failrun(asjson, error);
    bool ok = hashfacts(img, imf, error);
    closeimage();
    if (!ok) return failrun(asjson, error);
    tool::progressclear();
    if (asjson) printhashjson(imf);
    else printhashtext(imf);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "zeminfo: writing the report failed: %s\n", strerror(errno));
        return exiterror;
    }
    return 0;
}

} // namespace

int zeminfomain(int argc, char **argv)
{
    static const struct option longopts[] = {{"json", no_argument, nullptr, 'j'},
                                              {"help", no_argument, nullptr, 'h'},
                                              {"version", no_argument, nullptr, 'V'},
                                              {"codes", no_argument, nullptr, 'c'},
                                              {"hash", no_argument, nullptr, 'H'},
                                              {"image", required_argument, nullptr, 'I'},
                                              {nullptr, 0, nullptr, 0}};
    bool asjson = false, help = false, version = false, codes = false, hash = false;
    const char *stackimage = nullptr;
    std::string bad;
    int c;
    optind = 0;   // from the start, also when called again in one process
    opterr = 0;   // our own messages, with our name
    tool::progressstart("zeminfo");
    while ((c = getopt_long(argc, argv, ":hI:", longopts, nullptr)) != -1) {
        switch (c) {
        case 'j': asjson = true; break;
        case 'h': help = true; break;
        case 'V': version = true; break;
        case 'c': codes = true; break;
        case 'H': hash = true; break;
        case 'I': stackimage = optarg; break;
        default:
            if (bad.empty()) bad = tool::optionerror(c, argv, longopts);
        }
    }
    int nargs = argc - optind;
    if (bad.empty() && (help || version) && nargs > 0)
        bad = std::string(help ? "--help" : "--version") + " takes no operands, but got " + argv[optind];
    if (bad.empty() && (help || version)) {
        if (asjson) printjsonfield(help ? "usage" : "version", help ? usagetext : MAVRIN_VERSION);
        else if (help) fputs(usagetext, stdout);
        else printf("zeminfo %s\n", MAVRIN_VERSION);
        return 0;
    }
    if (bad.empty() && codes && hash) bad = "--codes and --hash exclude each other";
    if (bad.empty() && stackimage && (codes || hash))
        bad = std::string(codes ? "--codes" : "--hash") + " and --image exclude each other";
    if (bad.empty() && stackimage && nargs < 1) bad = "--image expects one patch or more";
    if (bad.empty() && codes && nargs != 1) bad = "--codes expects one image and no patch";
    if (bad.empty() && hash && (nargs < 1 || nargs > 2)) bad = "--hash expects an image, or a patch and an image";
    if (bad.empty() && !codes && !stackimage && (nargs < 1 || nargs > 2)) bad = "expected a patch and at most one image";
    if (!bad.empty()) {
        failrun(asjson, bad);
        if (!asjson) fprintf(stderr, "Try 'zeminfo --help' for more information.\n");
        return exiterror;
    }
    if (codes) return runcodes(asjson, argv[optind]);
    if (stackimage) return runstack(asjson, std::vector<const char *>(argv + optind, argv + argc), stackimage);
    if (hash && nargs == 1) return runhash(asjson, argv[optind]);
    return run(asjson, hash, argv[optind], nargs == 2 ? argv[optind + 1] : nullptr);
}
