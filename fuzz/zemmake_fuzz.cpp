// Fuzz target: runs `zemmake -u` in process on a patch taken from the fuzz
// input (laid out as fuzzcommon.hpp says; the answer bytes are not used) and
// checks what it did against a walk of the patch of its own. For a
// well-formed patch it then runs `zemmake -r`, of the sectors the patch
// writes into and of every sector, over the image made of data sectors of
// every kind (chosen by the seed) as the patch leaves it.
//
// After each run: it returned 0 exactly for a well-formed patch that the
// image does not already hold whole, and 1 otherwise, with the reason on
// standard error; the image and the patch are
// unchanged; no file but the undo patch was left behind, and none for a
// refused patch; no file descriptor was left open. The undo patch is a
// well-formed version 1.0 patch whose records lie within the image and,
// applied after the patch, give back the original image.
#include "cdsector.hpp"
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

// The image's whole sectors as sectors of every kind, by the seed: none
// (left as they are), Mode 1, Form 1, Form 2, Form 1 with an EDC of zero,
// Form 1 with subheader copies that disagree; codes right where computed.
bytes makeraw(bytes image, unsigned char seed)
{
    for (size_t s = 0; (s + 1) * cd::sectorlen <= image.size(); s++) {
        unsigned char *p = image.data() + s * cd::sectorlen;
        int choice = int((seed + s * 7) % 6);
        if (choice == 0) continue;
        std::memset(p, 0xff, cd::syncln);
        p[0] = p[cd::syncln - 1] = 0;
        p[cd::modepos] = choice == 1 ? 1 : 2;
        cd::Kind kind = choice == 1 ? cd::Kind::mode1 : choice == 3 ? cd::Kind::form2 : cd::Kind::form1;
        if (choice != 1) {
            p[cd::submodepos] = kind == cd::Kind::form2 ? 0x20 : 0;
            std::memcpy(p + cd::subheaderpos + cd::subheadercopy, p + cd::subheaderpos, cd::subheadercopy);
        }
        cd::writecodes(p, kind);
        if (choice == 4) std::memset(p + cd::layoutof(kind).edcat, 0, cd::edclen);
        if (choice == 5) p[cd::submodepos + cd::subheadercopy] ^= 0x80;
    }
    return image;
}

// Whether sector s changed only in its codes (the EDC and P and Q).
bool onlycodes(const unsigned char *before, const unsigned char *after, cd::Kind kind)
{
    const cd::Layout l = cd::layoutof(kind);
    for (long i = 0; i < cd::sectorlen; i++) {
        bool code = (i >= l.edcat && i < l.edcat + cd::edclen) || (l.ecc && i >= cd::ppos);
        if (!code && before[i] != after[i]) return false;
    }
    return true;
}

// Runs zemmake -r on image (what the patch leaves), with -p when scope is
// given, and checks the repair: a well-formed version 2.0 patch made for the
// image that gives right codes to every data sector in scope whose EDC is
// computed, and changes nothing else.
void checkrepair(const bytes &image, const std::vector<Rec> &recs, bool bypatch)
{
    const std::string img = inside("raw.bin"), zem = inside("patch.zem"), fix = inside("repair.zem");
    unlink(fix.c_str());
    int fd = open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    writeall(fd, image.data(), image.size());
    close(fd);
    redirectstreams("");
    std::vector<std::string> words = {"zemmake", "-r", img, fix};
    if (bypatch) words.insert(words.begin() + 2, {"-p", zem});
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int status = zemmakemain(int(words.size()), argv.data());
    restorestreams();
    const std::string err = readstream(errfd);
    readstream(outfd);
    if (status != 0) fail("a repair failed:\n" + err);
    if (readwhole(img) != image) fail("the repair changed the image");

    const bytes patch = readwhole(fix);
    const Expect e = walk(patch, image, "");
    if (e.end != End::done || e.asksize || e.askblock) fail("the repair is not a patch made for the image");
    bytes after = image;
    for (const Rec &r : e.recs) {
        if (size_t(r.pos) + r.len > image.size()) fail("a repair record lies past the image");
        std::memcpy(after.data() + r.pos, patch.data() + r.data, r.len);
    }
    std::vector<bool> scope(image.size() / cd::sectorlen + 1, !bypatch);
    for (const Rec &r : recs)
        for (size_t b = size_t(r.pos); b < size_t(r.pos) + r.len && b / cd::sectorlen < scope.size(); b++)
            scope[b / cd::sectorlen] = true;
    for (size_t s = 0; s * cd::sectorlen < image.size(); s++) {
        const unsigned char *was = image.data() + s * cd::sectorlen, *now = after.data() + s * cd::sectorlen;
        const size_t len = std::min<size_t>(cd::sectorlen, image.size() - s * cd::sectorlen);
        const cd::Kind kind = len == size_t(cd::sectorlen) ? cd::kindof(was) : cd::Kind::none;
        const bool repairable = scope[s] && kind != cd::Kind::none && cd::storededc(was, kind) != 0;
        if (!repairable) {
            if (std::memcmp(was, now, len) != 0) fail("a repair changed a sector it must leave alone");
            continue;
        }
        if (!onlycodes(was, now, kind)) fail("a repair changed more than the codes of a sector");
        if (!cd::checkcodes(now).right()) fail("a repair left wrong codes");
    }
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
    // A patch that writes no byte gets an undo that writes none, with a warning.
    bool writes = false;
    for (const Rec &r : want.recs) writes = writes || r.len > 0;
    if (!writes && (status != 0 || err.find("writes no byte") == std::string::npos))
        fail("the undo of a patch that writes nothing was not made with its warning: status " +
             std::to_string(status) + ", stderr:\n" + err);
    // An image that holds all the patch writes gets no undo: it would restore nothing.
    if (writes && heldof(patch, want, orig).held == Held::all) {
        if (status != 1 || !out.empty() || err.find("already holds what") == std::string::npos)
            fail("an image that holds all the patch writes was not refused: status " +
                 std::to_string(status) + ", stderr:\n" + err);
        if (scratchfiles() != std::vector<std::string>{"image.bin", "patch.zem"})
            fail("a refused undo left a file behind");
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

    /* Repairs of the codes the patch leaves stale */
    bytes raw = makeraw(orig, data[2]);
    applywithin(raw, patch, want.recs);
    checkrepair(raw, want.recs, true);
    checkrepair(raw, want.recs, false);
    return 0;
}
