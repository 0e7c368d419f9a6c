// Fuzz target: runs `zemmake -u` in process on a patch taken from the fuzz
// input (laid out as fuzzcommon.hpp says; the answer bytes are not used) and
// checks what it did against a walk of the patch of its own.
//
// After each run: it returned 0 exactly for a well-formed patch and 1
// otherwise, with the reason on standard error; the image and the patch are
// unchanged; no file but the undo patch was left behind, and none for a
// refused patch; no file descriptor was left open. The undo patch is a
// well-formed version 1.0 patch whose records lie within the image and,
// applied after the patch, give back the original image.
#include "fuzzcommon.hpp"
#include "zemmake.hpp"

namespace {

// Writes the bytes of recs that fall within image into it.
void applywithin(bytes &image, const bytes &patch, const std::vector<Rec> &recs)
{
    for (const Rec &r : recs)
        for (size_t i = 0; i < r.len; i++)
            if (size_t(r.pos) + i < image.size()) image[size_t(r.pos) + i] = patch[r.data + i];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzname = "zemmake_fuzz";
    setupstreams();
    makescratch("zemmakefuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < prefixlen) return -1;   // keeps such inputs out of the corpus
    const bytes patch(data + prefixlen, data + size);
    const int64_t imglen = imagesize(data[0], data[1], patch);
    const bytes orig = makeimage(imglen, data[2], (data[0] & 4) != 0, patch);
    const Expect want = walk(patch, orig, "yy");   // zemmake asks nothing

    for (const std::string &name : scratchfiles()) unlink(inside(name.c_str()).c_str());
    const std::string img = inside("image.bin"), zem = inside("patch.zem"), undo = inside("undo.zem");
    int fd = open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    writeall(fd, orig.data(), orig.size());
    close(fd);
    fd = open(zem.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    writeall(fd, patch.data(), patch.size());
    close(fd);
    const int fdsbefore = countfds();

    /* The run */
    redirectstreams("");
    std::vector<std::string> words = {"zemmake", "-u", img, zem, undo};
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int status = zemmakemain(int(words.size()), argv.data());
    restorestreams();

    /* Checks */
    const std::string out = readstream(outfd), err = readstream(errfd);
    if (countfds() != fdsbefore) fail("the run left a file descriptor open");
    if (readwhole(img) != orig) fail("the image changed");
    if (readwhole(zem) != patch) fail("the patch changed");
    const bool good = want.end == End::done;
    const char *reason = want.end == End::damaged ? "is damaged"
                         : want.end == End::notzem ? "is not a ZEM patch"
                                                   : "encoding method";
    if (!good) {
        if (status != 1 || !out.empty() || err.find(reason) == std::string::npos)
            fail("a patch that is not well formed was not refused with \"" + std::string(reason) +
                 "\": status " + std::to_string(status) + ", stderr:\n" + err);
        if (scratchfiles() != std::vector<std::string>{"image.bin", "patch.zem"})
            fail("a refused patch left a file behind");
        return 0;
    }
    if (status != 0) fail("a well-formed patch was refused:\n" + err);
    if (scratchfiles() != std::vector<std::string>{"image.bin", "patch.zem", "undo.zem"})
        fail("the undo patch is missing or a file was left behind");

    const bytes back = readwhole(undo);
    const Expect u = walk(back, {}, "");
    if (u.end != End::done || back[zem::methodpos] != zem::methodv1)
        fail("the undo patch is not a well-formed version 1.0 patch");
    for (const Rec &r : u.recs)
        if (int64_t(r.pos) + int64_t(r.len) > imglen) fail("an undo record lies past the image");
    bytes image = orig;
    applywithin(image, patch, want.recs);
    applywithin(image, back, u.recs);
    if (image != orig) fail("the undo patch does not give back the original image");
    return 0;
}
