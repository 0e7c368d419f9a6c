// Fuzz target: opens a cue sheet taken from the fuzz input, with up to three
// track files beside it, through the image layer (libcue parses it), then
// reads and writes the logical image it gives.
//
// Input layout (its own, apart from the other targets'):
//   byte 0     low 2 bits: how many of the track files exist (the others
//              are missing); bit 2: open for update
//   bytes 1-3  each file's size, in units of 147 bytes (0: an empty file)
//   bytes 4-5  where a write lands, little-endian, in units of 7 bytes
//   byte 6     how many bytes it writes
//   the rest   the cue sheet
// The files are "Track 1.bin", "track 2.BIN" and "Track 3.bin"; a file
// "patch.zem" lies beside them and must be refused as a track.
//
// After each open: nothing on standard error and no descriptor left open
// once closed; on a refusal, a file and a reason named and no file changed;
// on success, files that are track files of the folder and not the patch,
// each first byte where the ones before end, tracks that follow one
// another without a gap, each within its file, over the whole image;
// readimage giving the files' contents end to end, and a write at the
// chosen place leaving every file as the same write into the merged image
// would, what passes the end going to the last file.
#include <map>
#include <sys/stat.h>

// The patch targets' walk of a patch is of no use here.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wunused-function"
#include "fuzzcommon.hpp"
#pragma clang diagnostic pop
#include "image.hpp"

namespace {

constexpr size_t layoutlen = 7;
constexpr size_t sizeunit = 147;
constexpr int64_t writeunit = 7;
const char *const names[] = {"Track 1.bin", "track 2.BIN", "Track 3.bin"};

disc::Image img;

// Writes bytes to a file of the scratch folder, replacing it.
void put(const char *name, const bytes &b)
{
    int fd = open(inside(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail(std::string("cannot write ") + name);
    writeall(fd, b.data(), b.size());
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzname = "cue_fuzz";
    setupstreams();
    makescratch("cuefuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < layoutlen) return -1;   // keeps such inputs out of the corpus
    const int nmade = data[0] & 3;
    const bool forupdate = (data[0] & 4) != 0;
    const int64_t writepos = int64_t(data[4] | data[5] << 8) * writeunit;
    const int64_t writelen = data[6];

    /* The folder */
    for (const std::string &f : scratchfiles()) unlink(inside(f.c_str()).c_str());
    std::map<std::string, bytes> files;
    for (int i = 0; i < nmade; i++) {
        files[names[i]] = makeimage(int64_t(data[1 + i]) * int64_t(sizeunit), (unsigned char)(i + 1), false, {});
        put(names[i], files[names[i]]);
    }
    const bytes patch = {'Z', 'E', 'M', 0, 0, 1};
    put("patch.zem", patch);
    put("sheet.cue", bytes(data + layoutlen, data + size));
    struct stat patchst;
    if (stat(inside("patch.zem").c_str(), &patchst) != 0) fail("stat of the patch");

    /* Open */
    const int fdsbefore = countfds();
    disc::ImageError err;
    redirectstreams("");
    const bool opened = disc::openimage(img, inside("sheet.cue").c_str(), forupdate, &patchst, "the patch", err);
    restorestreams();
    if (!readstream(errfd).empty()) fail("the open wrote to standard error:\n" + readstream(errfd));
    if (!opened) {
        if (!err.path[0] || !err.reason[0]) fail("a refusal that names no file or no reason");
        if (countfds() != fdsbefore) fail("a refusal left a file open");
        for (const auto &f : files)
            if (readwhole(inside(f.first.c_str())) != f.second) fail("a refusal changed " + f.first);
        return 0;
    }

    /* The files and tracks it gives */
    if (!img.cue || img.nfiles < 1 || img.nfiles > nmade || img.ntracks < 1) fail("impossible counts");
    bytes merged;
    std::vector<int64_t> ends;
    for (int i = 0; i < img.nfiles; i++) {
        const disc::ImageFile &f = img.files[i];
        const std::string path = f.path;
        const std::string name = path.substr(path.rfind('/') + 1);
        if (path != inside(name.c_str()) || !files.count(name)) fail("a track file that is not one: " + path);
        for (int j = 0; j < i; j++)
            if (path == img.files[j].path) fail("a file taken twice: " + path);
        const bytes &content = files[name];
        if (content.empty()) fail("an empty track file taken: " + path);
        if (f.first != int64_t(merged.size()) || f.size != int64_t(content.size()))
            fail("file " + path + " placed at " + std::to_string(f.first) + ", size " + std::to_string(f.size));
        merged.insert(merged.end(), content.begin(), content.end());
        ends.push_back(int64_t(merged.size()));
    }
    if (img.size != int64_t(merged.size())) fail("the image size is not the files' sum");
    int64_t at = 0;
    for (int i = 0; i < img.ntracks; i++) {
        const disc::Track &t = img.tracks[i];
        if (t.number < 1 || t.number > 99 || t.file < 0 || t.file >= img.nfiles || t.first != at || t.size < 0)
            fail("track " + std::to_string(i + 1) + " out of place");
        // A track may begin at the end of the file before its own (its INDEX 00 there).
        const int64_t filefirst = img.files[t.file > 0 && t.first < img.files[t.file].first ? t.file - 1 : t.file].first;
        if (t.first < filefirst || t.first + t.size > ends[size_t(t.file)])
            fail("track " + std::to_string(i + 1) + " outside its file");
        if (!t.mode[0]) fail("a track without a mode");
        at += t.size;
    }
    if (at != img.size) fail("the tracks do not cover the image");

    /* Read and write */
    bytes got(merged.size() + 5);
    if (disc::readimage(img, got.data(), int64_t(got.size()), 0) != int64_t(merged.size()))
        fail("readimage is not short exactly at the end");
    got.resize(merged.size());
    if (got != merged) fail("readimage differs from the files end to end");
    if (forupdate) {
        bytes w = makeimage(writelen, data[6], false, {});
        if (!disc::writeimage(img, w.data(), writelen, writepos)) fail("a write failed");
        if (writelen > 0 && writepos + writelen > int64_t(merged.size())) merged.resize(size_t(writepos + writelen), 0);
        if (writelen > 0) std::copy(w.begin(), w.end(), merged.begin() + writepos);
        if (img.size != int64_t(merged.size())) fail("the image size after a write");
        for (int i = 0; i < img.nfiles; i++) {
            const disc::ImageFile &f = img.files[i];
            const int64_t end = i + 1 < img.nfiles ? img.files[i + 1].first : int64_t(merged.size());
            if (readwhole(f.path) != bytes(merged.begin() + f.first, merged.begin() + end))
                fail(std::string("after a write, ") + f.path + " is not its part of the merged image");
        }
    }
    if (!disc::closeimage(img)) fail("a close failed");
    if (countfds() != fdsbefore) fail("a file left open");
    return 0;
}
