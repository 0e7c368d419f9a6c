// What a patch says and what it does to an image: the facts zeminfo
// reports, the walk of the records that finds them, the image checks, and
// the judgement of how much of a patch an image holds (also zemmake -u's).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "applied.hpp"
#include "explaintext.hpp"
#include "image.hpp"
#include "imagehash.hpp"
#include "stacked.hpp"
#include "zemreader.hpp"

// Sectors whose EDC the patch breaks that the report names.
constexpr int namedsectors = 5;

// Fields of an ISO 9660 primary volume descriptor.
struct Volume {
    bool valid;            // the bytes look like a primary volume descriptor
    int mode;              // the disc it was taken from, when known: 1 or 2, else 0
    std::string system;    // system identifier, trailing spaces removed
    bool systemcut;        // only its end lies in the bytes: a Mode 1 validation block
    std::string volume;    // volume identifier
    int64_t spacesize;     // volume space size, in 2048-byte blocks
    std::string created;   // RFC 3339, "YYYY-MM-DDTHH:MM:SS+HH:MM"; empty when not set or not a date
};

// What the patch says by itself.
struct PatchFacts {
    std::string file;
    zem::kind kind;
    textencoding encoding;     // of the description and the FILE_ID.DIZ text alike
    std::string description;   // UTF-8
    bool hasdiz;
    std::string diz;           // UTF-8, the text Mavrin shows
    bool hasimagesize;         // version 2.0
    int64_t imagesize;
    Volume volume;             // decoded from the validation block (version 2.0)
    unsigned char storedblock[zem::checkblocklen];   // the validation block (version 2.0)
    unsigned char leftblock[zem::checkblocklen];     // it as the records leave it

    zem::flaw damage;          // flawnone when sound
    int64_t damageat;          // patch offset of the first record that does not fit
    int64_t records;           // records read (up to the damage)
    int64_t databytes;
    int64_t lowest, highest;   // image offsets of the first and last byte written; -1: none
    int64_t byteswritten;      // distinct image bytes written
    int64_t sectors;           // distinct 2352-byte sectors written into
    bool overlap;              // some byte is written by two records
    bool inorder;              // one pass sufficed: no record lay far before an earlier one
    zem::Area area;            // where the records lie in the patch
};

// Layouts of an image, told by where the validation block lies in it.
enum layout { layoutunknown, layoutraw, layoutiso1, layoutiso2, layout2336, layout2448,
              layoutshifted, layoutnone };

// A track of a cue sheet, and the records that write into it.
struct TrackFacts {
    int number;
    int file;                  // index into ImageFacts::files
    std::string mode;          // as the cue sheet gives it: "MODE2/2352", "AUDIO"
    int64_t first, size;       // in the logical image
    int64_t records;           // records that write a byte into it (the last track
                               // takes what lies past the image's end)
};

// What an image says about a patch.
struct ImageFacts {
    std::string file;
    bool writable;             // Mavrin can open it, and the patch, for its run
    std::string unwritable;    // why not
    std::string openfailed;    // the file Mavrin's open-failure line names (a track file)
    /* A cue sheet: its track files and tracks, which make one logical image */
    bool cue;
    std::vector<std::string> files;
    std::vector<TrackFacts> tracks;
    /* A single file that a cue sheet beside it lists as a track file */
    bool split;
    disc::SplitDump splitdump;
    int64_t recordsbeyond;     // records that write past the end of this file
    /* Version 2.0: the validation block where the sheet's image holds it */
    std::string dumpblockfile; // the track file that holds its last byte
    int dumpblock;             // that image's bytes there are the block: 1, they differ: 0,
                               // the sheet could not be read: -1
    /* --hash: of the whole image and of each file */
    bool hashed;
    disc::Hashes hashes;
    std::vector<disc::Hashes> filehashes;
    bool examined;             // a file zeminfo can read at offsets: all below is known
    bool countonly;            // judge no sector's codes: only the bytes and records
    int64_t size;
    bool sizematches;          // version 2.0 only
    bool blockmatches;         // Mavrin's test at 37664, missing bytes as zeros
    bool blockpatched;         // the block is not as made for, but as the patch leaves it
    layout where;              // version 2.0 only
    int64_t shift;             // where the block was found less 37664
    Volume volume;             // the image's own volume descriptor, when it has one
    int64_t tochange;          // written bytes that differ now
    int64_t inplace;           // records whose bytes all hold their values now
    int64_t wholesectors;      // sectors written into that lie whole within the image
    int64_t rawsectors;        // of them, raw CD data sectors (cd::kindof)
    int64_t edcright;          // sectors written into whose EDC is right now
    int64_t edcbroken;         // of those, the ones the patch leaves wrong
    int64_t broken[namedsectors];   // the first of them, as sector numbers
    /* P and Q, and the codes as a whole (sectors with an EDC of zero are
       counted apart and judged no further) */
    int64_t eccright;          // Mode 1 and Form 1 sectors written into whose P and Q are right now
    int64_t eccbroken;         // of those, the ones the patch leaves wrong
    int64_t eccfirst[namedsectors];
    int64_t codesbroken;       // sectors the patch leaves with a wrong EDC, P or Q
    int64_t noedc;             // data sectors written into whose EDC is zero: not computed
};

// Counts sector s into count, naming it in first while there is room.
inline void note(int64_t &count, int64_t *first, int64_t s)
{
    if (count < namedsectors) first[count] = s;
    count++;
}

// An input file, opened for reading; or an image (one file or a cue sheet's
// track files) read through the image layer, when img is set; read as a
// stack of patches leaves it, when stacked is set too.
struct Input {
    int fd;
    int64_t size;
    const disc::Image *img = nullptr;
    const explain::Stacked *stacked = nullptr;
};
// Opens path, a regular file, or a block device when blockok; error says why
// it cannot. Sets kindrefused when the file opened but is of another kind.
bool openinput(const char *path, Input &in, std::string &error, bool blockok = false,
               bool *kindrefused = nullptr);
void closeinput(Input &in);
// n bytes of the file at pos into out; what lies past its end (or what a
// failed read leaves) reads as zeros, as Mavrin's short reads leave them.
void bytesat(const Input &f, int64_t pos, long n, unsigned char *out);
// Opens the image at path for reading through the image layer into img
// (static: an Image is large) and describes it in imf: its size, and a cue
// sheet's files and tracks. Fails, error naming the file and why.
bool openimageinput(const char *path, disc::Image &img, Input &in, ImageFacts &imf, std::string &error);
// Counts the record that writes [pos, end) into the tracks it writes into,
// and as landing beyond a split dump's file when it does.
void placerecord(ImageFacts &imf, int64_t pos, int64_t end);
// The patch's layout: version, image size, validation block, records area.
// Fails only when the patch is no ZEM patch; a damaged patch is a fact, not
// a failure.
bool readlayout(const Input &patch, PatchFacts &pf, std::string &error);
// The layout, and the texts and the volume descriptor fields for a person.
bool readpatch(const Input &patch, PatchFacts &pf, std::string &error);
// The records; with an image, also the image's side of them. Fails when
// reading the patch fails. Shows progress on a terminal.
bool walkrecords(const Input &patch, const Input *image, PatchFacts &pf, ImageFacts *imf,
                 std::string &error);
// Gives back to the system the pages of the memory the walks took, which
// they keep for the next one otherwise.
void walkrelease();
// How much of the patch the image holds, from what the walk and the image
// checks found.
applystate stateof(const PatchFacts &pf, const ImageFacts &imf);

// The image checks: size, validation block and layout, the image's own descriptor.
void checkimage(const Input &patch, const Input &image, const PatchFacts &pf, ImageFacts &imf);

// Decodes a primary volume descriptor from n bytes beginning at its byte
// from (8 for a Mode 2 validation block, 16 for Mode 1, 0 for a whole one).
Volume decodevolume(const unsigned char *p, long n, long from);
// Decodes a validation block: as Mode 2 or as Mode 1, whichever fits.
Volume blockvolume(const unsigned char *block);
