// Fuzz target: runs `zeminfo --json PATCH IMAGE` and `zeminfo PATCH IMAGE` in
// process on a patch taken from the fuzz input (laid out as fuzzcommon.hpp
// says; the answers are not used, and bits 2-3 of their count byte make every
// whole sector of the image a raw Mode 1 or Mode 2 Form 1 sector with a right
// EDC) and checks them against a walk of the patch of its own.
//
// After each run: one JSON object on standard output and nothing on standard
// error; status 1 and verdict "error" for what is not a ZEM patch, status 1
// and "damaged": true for a damaged one; for a sound one, "applied" (status 3)
// exactly when writing every record would leave the image as it is, else
// "partly" when part of it is there (status 2 when Mavrin would ask, 0 when
// not), else "asks" (2) exactly when Mavrin would ask, else "applies" (0); the bytes it
// writes and those it changes as counted here; the words report ends with the
// same status, and every line of it at column 0 is one of its own fields,
// whatever the patch's texts hold; the sectors written into whose EDC is right now, and those
// the patch leaves wrong, as counted here; the image and the patch
// unchanged, no file made, no file descriptor left open.
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "fuzzcommon.hpp"
#include "zeminfo.hpp"

namespace {

constexpr size_t sector = 2352;

// CD EDC, bit by bit: apart from the program's own.
uint32_t edc(const unsigned char *p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = crc & 1 ? (crc >> 1) ^ 0xD8018001u : crc >> 1;
    }
    return crc;
}

// Whether sector s of img carries an EDC, and whether it is right, by the
// sector's own kind as it stands in img.
bool edcright(const bytes &img, size_t s, bool &has)
{
    const unsigned char *p = img.data() + s * sector;
    static const unsigned char sync[12] = {0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0};
    size_t from = 0, at = 0;
    bool synced = std::memcmp(p, sync, 12) == 0;
    // Mode 2: both subheader copies must agree; bit 5 of the submode tells Form 2.
    bool subheader = std::memcmp(p + 16, p + 20, 4) == 0;
    if (synced && p[15] == 1) from = 0, at = 2064;
    if (synced && p[15] == 2 && subheader) from = 16, at = p[18] & 0x20 ? 2348 : 2072;
    // A zero EDC field means "not computed": no EDC to judge.
    if (at && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 0 && p[at + 3] == 0) at = 0;
    has = at != 0;
    return has && edc(p + from, at - from) == (uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 |
                                               uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24);
}

// Makes every whole sector a raw one of the mode, with a right EDC; with
// form2, every other Mode 2 sector is of Form 2.
void stampsectors(bytes &img, int mode, bool form2)
{
    for (size_t s = 0; (s + 1) * sector <= img.size(); s++) {
        unsigned char *p = img.data() + s * sector;
        p[0] = p[11] = 0;
        std::memset(p + 1, 0xff, 10);
        p[15] = (unsigned char)mode;
        bool f2 = mode == 2 && form2 && s % 2;
        if (mode == 2) {
            std::memset(p + 16, 0, 8);
            p[18] = p[22] = f2 ? 0x28 : 0x08;
        }
        size_t from = mode == 1 ? 0 : 16, at = mode == 1 ? 2064 : f2 ? 2348 : 2072;
        uint32_t crc = edc(p + from, at - from);
        for (int i = 0; i < 4; i++) p[at + size_t(i)] = (unsigned char)(crc >> (8 * i));
    }
}

// Every line of the words report is empty, indented (FILE_ID.DIZ text) or
// one of its fields, and holds no control character but tab: nothing from
// the patch can stand where a field does, nor move the cursor there.
void checkwords(const std::string &words)
{
    static const char *const labels[] = {
        "Patch", "Version", "Description", "File_id.diz", "Made for", "Volume", "Damaged",
        "Records", "Overlaps", "Grows image", "Image", "Size", "Validation", "Volume (patch)",
        "Volume (image)", "Writable", "State", "Sectors", "EDC", "ECC", "Codes", "Verdict"};
    std::string last;
    for (size_t at = 0; at < words.size();) {
        size_t nl = words.find('\n', at);
        if (nl == std::string::npos) fail("the words report does not end its last line:\n" + words);
        const std::string l = words.substr(at, nl - at);
        at = nl + 1;
        for (unsigned char c : l)
            if ((c < 32 && c != '\t') || c == 0x7f) fail("a control character in the words report:\n" + words);
        if (l.empty() || l.compare(0, 2, "  ") == 0) continue;
        const std::string label = l.size() >= 17 && l.compare(15, 2, ": ") == 0
                                      ? l.substr(0, l.find_last_not_of(' ', 14) + 1) : "";
        if (std::find(std::begin(labels), std::end(labels), label) == std::end(labels))
            fail("a line of the words report is none of its fields: " + l + "\n" + words);
        if (last == "Verdict") fail("a line after the verdict:\n" + words);
        last = label;
    }
    if (!words.empty() && last != "Verdict") fail("the words report does not end with its verdict:\n" + words);
}

int runinfo(bool asjson, const std::string &img, const std::string &zem)
{
    std::vector<std::string> words = {"zeminfo", zem, img};
    if (asjson) words.insert(words.begin() + 1, "--json");
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    redirectstreams("");
    int status = zeminfomain(int(words.size()), argv.data());
    restorestreams();
    return status;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzname = "zeminfo_fuzz";
    setupstreams();
    makescratch("zeminfofuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < prefixlen) return -1;   // keeps such inputs out of the corpus
    const bytes patch(data + prefixlen, data + size);
    const int64_t imglen = imagesize(data[0], data[1], patch);
    bytes image = makeimage(imglen, data[2], (data[0] & 4) != 0, patch);
    if (data[3] & 4) stampsectors(image, data[3] & 8 ? 2 : 1, data[3] & 16);
    const bytes orig = image;
    const Expect want = walk(patch, orig, "yy");   // what Mavrin would do, asked or not

    const std::string img = inside("image.bin"), zem = inside("patch.zem");
    int fd = open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    writeall(fd, orig.data(), orig.size());
    close(fd);
    fd = open(zem.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    writeall(fd, patch.data(), patch.size());
    close(fd);
    const int fdsbefore = countfds();

    /* The runs */
    int status = runinfo(true, img, zem);
    const std::string out = readstream(outfd), err = readstream(errfd);
    int textstatus = runinfo(false, img, zem);
    const std::string words = readstream(outfd);

    /* Nothing written, nothing left open */
    if (countfds() != fdsbefore) fail("the run left a file descriptor open");
    if (readwhole(img) != orig) fail("the image changed");
    if (readwhole(zem) != patch) fail("the patch changed");
    if (scratchfiles().size() != 2) fail("the run made a file");
    if (textstatus != status) fail("the words report ends with another status than the JSON one");
    checkwords(words);

    /* One JSON object */
    if (!err.empty()) fail("--json wrote to standard error:\n" + err);
    nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    if (!j.is_object()) fail("the output is not one JSON object:\n" + out);
    const std::string verdict = j.value("verdict", "");

    /* The verdict the walk predicts */
    if (want.end == End::notzem || want.end == End::unknownmethod) {
        if (status != 1 || verdict != "error" || !j["error"].is_string())
            fail("not a patch, yet status " + std::to_string(status) + ":\n" + out);
        return 0;
    }
    if (want.end == End::damaged) {
        if (status != 1 || verdict != "damaged" || j["patch"]["damaged"] != true)
            fail("a damaged patch, yet status " + std::to_string(status) + ":\n" + out);
        return 0;
    }
    std::map<int64_t, unsigned char> final;
    for (const Rec &r : want.recs)
        for (size_t i = 0; i < r.len; i++) final[int64_t(r.pos) + int64_t(i)] = patch[r.data + i];
    int64_t tochange = 0;
    for (const auto &b : final)
        tochange += b.first >= int64_t(orig.size()) || orig[size_t(b.first)] != b.second;
    const HeldFacts held = heldof(patch, want, orig);
    if (held.tochange != tochange) fail("the two models of the bytes to change disagree");
    // Partly applied, Mavrin asking only about what the patch's own writes explain.
    const int32_t stored = le32at(patch, zem::imagesizepos);
    const bool sizegrown = stored >= 0 && int64_t(orig.size()) > stored && int64_t(orig.size()) <= held.highest + 1;
    const bool asks = want.asksize || want.askblock;
    const bool partly = held.held == Held::part && (!asks || ((!want.asksize || sizegrown) &&
                                                             (!want.askblock || held.blockpatched)));
    const char *expect = held.held == Held::all ? "applied" : partly ? "partly" : asks ? "asks" : "applies";
    const int expectstatus = held.held == Held::all ? 3 : asks ? 2 : 0;
    if (status != expectstatus || verdict != expect)
        fail("expected " + std::string(expect) + ", status " + std::to_string(status) + ":\n" + out);
    if (j["image"]["bytes_written"] != final.size() || j["image"]["bytes_to_change"] != tochange ||
        j["patch"]["records"] != want.recs.size())
        fail("bytes written " + std::to_string(final.size()) + ", to change " + std::to_string(tochange) +
             ", records " + std::to_string(want.recs.size()) + ", not as reported:\n" + out);

    /* The EDC of the sectors written into, before and after */
    bytes after = orig;
    std::map<size_t, bool> sectors;
    for (const auto &b : final) {
        if (b.first >= int64_t(after.size())) continue;
        after[size_t(b.first)] = b.second;
        if ((size_t(b.first) / sector + 1) * sector <= orig.size()) sectors[size_t(b.first) / sector] = true;
    }
    size_t right = 0, broken = 0;
    for (const auto &sec : sectors) {
        bool has;
        if (!edcright(orig, sec.first, has)) continue;
        right++;
        broken += !edcright(after, sec.first, has);
    }
    if (j["image"]["edc_right_sectors"] != right || j["image"]["edc_broken_sectors"] != broken)
        fail("EDC right " + std::to_string(right) + ", broken " + std::to_string(broken) +
             ", not as reported:\n" + out);
    return 0;
}
