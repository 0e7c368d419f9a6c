// zeminfo: what its parts share beyond the facts of src/explain: the
// codes of a whole image, the verdict, the reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "explain.hpp"
#include "zeminfo.hpp"

// Hashes the image into imf; fails, error naming the file, when a read fails.
bool hashfacts(const disc::Image &img, ImageFacts &imf, std::string &error);

// What --codes finds in a whole image: its data sectors and their codes.
struct CodesFacts {
    std::string file;
    const ImageFacts *layout;  // its files and tracks
    int64_t size;
    int64_t sectors;           // whole sectors (a cue sheet's tracks each in its own sector size)
    int64_t kinds[4];          // by cd::Kind, of the raw sectors: not data, Mode 1, Form 1, Form 2
    /* A cue sheet's sectors that are never data sectors, and their tracks
       ("track 2", "tracks 2, 4") */
    int64_t audio;             // of AUDIO tracks
    int64_t nocodes;           // of tracks of fewer than 2352 bytes a sector: no codes kept
    std::string audiotracks, nocodestracks;
    int64_t edcright, edcbroken, edcfirst[namedsectors];
    int64_t eccright, eccbroken, eccfirst[namedsectors];   // Mode 1 and Form 1
    int64_t codesbroken;       // sectors whose EDC, P or Q is wrong
    int64_t noedc, noedcfirst[namedsectors];
};
// Checks the codes of every data sector of the image.
bool checkallcodes(const Input &image, CodesFacts &cf, std::string &error);

// The verdict of a run, its name in the JSON report and its exit status.
// vpartly: partly applied, and Mavrin asks nothing or only what the patch's
// own changes explain (vpartlyasks).
enum verdict { verror, vdamaged, vsound, vapplies, vasks, vapplied, vpartly, vpartlyasks,
               vunwritable, vcodesright, vcodeswrong };
verdict verdictof(const PatchFacts &pf, const ImageFacts *imf);
const char *verdictname(verdict v);
int statusof(verdict v);

// The reports on standard output: words for a user, or one JSON object
// (pf and imf may be null, error empty when there is none).
void printtext(const PatchFacts &pf, const ImageFacts *imf, verdict v);
void printjson(const PatchFacts *pf, const ImageFacts *imf, verdict v, const std::string &error);
// One JSON object of one string, for --help and --version under --json.
void printjsonfield(const char *key, const std::string &value);
// The reports of --codes.
void printcodestext(const CodesFacts &cf, verdict v);
void printcodesjson(const CodesFacts &cf, verdict v);
// The report of --hash IMAGE without a patch: the image, its tracks, its hashes.
void printhashtext(const ImageFacts &imf);
void printhashjson(const ImageFacts &imf);

// The words of a verdict, as the report's Verdict line gives them.
std::string verdictwords(const PatchFacts &pf, const ImageFacts *imf, verdict v);

// Several patches in order against one image: each step's facts against the
// image as the earlier steps leave it, and the bytes of earlier steps it
// writes over.
struct StepOverwrite {
    int step;                    // the earlier step, from 0
    int64_t bytes;               // its bytes that this step writes over
    int64_t nruns;               // in runs of bytes
    std::vector<int64_t> runs;   // where the first of them start
};
struct StepFacts {
    PatchFacts pf;
    ImageFacts imf;
    verdict v;
    bool stacked;                // Mavrin would change the image: later steps meet its records
    std::vector<StepOverwrite> overwrites;
};
// The reports of a stack; decides is the step whose verdict is the stack's,
// -1 when every step applies cleanly.
void printstacktext(const std::string &imagefile, const std::vector<StepFacts> &steps, int decides, verdict v);
void printstackjson(const std::string &imagefile, const std::vector<StepFacts> &steps, int decides, verdict v);
// zeminfo PATCH... --image IMAGE.
int runstack(bool asjson, const std::vector<const char *> &patches, const char *imagepath);
// Ends a run that failed: the message, on standard error or as JSON.
int failrun(bool asjson, const std::string &error);
// What Mavrin meets when it opens the image (a cue sheet's track files) and
// the patch for its run: sets out's writable, and when it cannot go on, why.
void judgeopen(const char *imagepath, const char *patchpath, ImageFacts &out);
void judgecueopen(const char *imagepath, const char *patchpath, ImageFacts &out);
