// zeminfo: options, the run, the exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "infocore.hpp"

namespace {

// The usage summary.
const char usagetext[] =
    "Usage: zeminfo [--json] PATCH [IMAGE]\n"
    "       zeminfo [--json] --codes IMAGE\n"
    "\n"
    "Explains the ZEM patch PATCH: its version, description, FILE_ID.DIZ text, the\n"
    "image it was made for, its records, and whether it is damaged. With IMAGE,\n"
    "says whether the patch fits that image and why not, how much of it is\n"
    "already applied, and which sectors it would leave with a wrong EDC or ECC.\n"
    "With --codes, checks the EDC and ECC of every data sector of IMAGE.\n"
    "\n"
    "      --json      one JSON object on standard output, errors included\n"
    "      --codes     check the codes of IMAGE's data sectors; no patch\n"
    "      --help      show this help and exit\n"
    "      --version   show the version and exit\n"
    "\n"
    "Exit status: 0 the patch applies cleanly (without IMAGE: the patch is sound),\n"
    "2 IMAGE is not the image the patch was made for, 3 already applied,\n"
    "4 (--codes) some data sector's codes are wrong, 1 an error or a damaged patch.\n";

// The files of a run and what was found.
Input patch, image;
PatchFacts pf;
ImageFacts imf;
CodesFacts cf;

// Ends a run that failed: the message, on standard error or as JSON.
int failrun(bool asjson, const std::string &error)
{
    if (asjson) printjson(nullptr, nullptr, verror, error);
    else fprintf(stderr, "zeminfo: %s\n", error.c_str());
    return exiterror;
}

int run(bool asjson, const char *patchpath, const char *imagepath)
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
    if (ok && imagepath) ok = openinput(imagepath, image, error);
    if (ok) ok = walkrecords(patch, imagepath ? &image : nullptr, pf, imagepath ? &imf : nullptr, error);
    if (ok && imagepath) checkimage(patch, image, pf, imf);
    closeinput(patch);
    closeinput(image);
    if (!ok) return failrun(asjson, error);

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
    image = Input{-1, 0};
    if (!openinput(imagepath, image, error)) return failrun(asjson, error);
    bool ok = checkallcodes(image, cf, error);
    closeinput(image);
    if (!ok) return failrun(asjson, error);
    verdict v = cf.codesbroken ? vcodeswrong : vcodesright;
    if (asjson) printcodesjson(cf, v);
    else printcodestext(cf, v);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "zeminfo: writing the report failed: %s\n", strerror(errno));
        return exiterror;
    }
    return statusof(v);
}

} // namespace

int zeminfomain(int argc, char **argv)
{
    static const struct option longopts[] = {{"json", no_argument, nullptr, 'j'},
                                              {"help", no_argument, nullptr, 'h'},
                                              {"version", no_argument, nullptr, 'V'},
                                              {"codes", no_argument, nullptr, 'c'},
                                              {nullptr, 0, nullptr, 0}};
    bool asjson = false, help = false, version = false, codes = false;
    std::string bad;
    int c;
    optind = 0;   // from the start, also when called again in one process
    opterr = 0;   // our own messages, with our name
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case 'j': asjson = true; break;
        case 'h': help = true; break;
        case 'V': version = true; break;
        case 'c': codes = true; break;
        default:
            if (bad.empty()) bad = std::string("unknown option ") + argv[optind - 1];
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
    if (bad.empty() && codes && nargs != 1) bad = "--codes expects one image and no patch";
    if (bad.empty() && !codes && (nargs < 1 || nargs > 2)) bad = "expected a patch and at most one image";
    if (!bad.empty()) {
        failrun(asjson, bad);
        if (!asjson) fprintf(stderr, "Try 'zeminfo --help' for more information.\n");
        return exiterror;
    }
    if (codes) return runcodes(asjson, argv[optind]);
    return run(asjson, argv[optind], nargs == 2 ? argv[optind + 1] : nullptr);
}
