// zeminfo: its diagnoses of real disc images, its report on patches alone and
// in any record order, and the shape of its JSON in every case.
#include <algorithm>
#include <array>
#include <random>
#include <map>
#include <regex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "cdfixture.hpp"
#include "cdsector.hpp"
#include "infocore.hpp"
#include "patchbuilder.hpp"

using json = nlohmann::json;

namespace {

class ZemInfo : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/zeminfotest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
    std::string path(const std::string &name) const { return dir + "/" + name; }

    // Runs zeminfo --json; the output must be exactly one JSON object.
    json info(const std::vector<std::string> &args, int &status)
    {
        std::vector<std::string> all = {"--json"};
        all.insert(all.end(), args.begin(), args.end());
        RunResult r = runprog(ZEMINFO, all);
        status = r.status;
        EXPECT_EQ(r.err, "");
        json j = json::parse(r.out, nullptr, false);
        EXPECT_TRUE(j.is_object()) << r.out;
        return j;
    }
    // Writes patch and image (when given) and runs zeminfo on them.
    json info(const bytes &patch, const bytes *image, int &status)
    {
        writefile(path("p.zem"), patch);
        if (!image) return info({path("p.zem")}, status);
        writefile(path("i.bin"), *image);
        return info({path("p.zem"), path("i.bin")}, status);
    }
    std::string text(const bytes *image)
    {
        std::vector<std::string> args = {path("p.zem")};
        if (image) args.push_back(path("i.bin"));
        return runprog(ZEMINFO, args).out;
    }
};

struct Rec {
    int32_t pos;
    bytes data;
};

bytes v2patch(const bytes &image, const std::vector<Rec> &recs, int32_t size = -1)
{
    bytes p = zemheader(1, "real disc");
    addcheck(p, size >= 0 ? size : int32_t(image.size()), image);
    for (const Rec &r : recs) addrecord(p, r.pos, r.data);
    return p;
}

// Records that turn orig into mod: one per run of changed bytes.
std::vector<Rec> diff(const bytes &orig, const bytes &mod)
{
    std::vector<Rec> recs;
    for (size_t i = 0; i < mod.size(); i++) {
        if (i < orig.size() && orig[i] == mod[i]) continue;
        Rec r{int32_t(i), {}};
        while (i < mod.size() && (i >= orig.size() || orig[i] != mod[i]) && r.data.size() < 255)
            r.data.push_back(mod[i++]);
        i--;
        recs.push_back(r);
    }
    return recs;
}

bytes concat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A raw Mode 2 image of 20 sectors whose sector 16 holds a primary volume
// descriptor with these identifiers, as bytes of any value.
bytes discwith(const std::string &system, const std::string &volume)
{
    bytes iso(20 * cdfix::isosector, 0);
    unsigned char *d = iso.data() + 16 * cdfix::isosector;
    const unsigned char head[] = {1, 'C', 'D', '0', '0', '1', 1};
    std::copy(head, head + sizeof head, d);
    std::fill(d + 8, d + 72, ' ');
    std::copy(system.begin(), system.end(), d + 8);
    std::copy(volume.begin(), volume.end(), d + 40);
    const unsigned char space[] = {20, 0, 0, 0, 0, 0, 0, 20}, block[] = {0, 8, 8, 0};
    std::copy(space, space + 8, d + 80);
    std::copy(block, block + 4, d + 128);
    std::fill(d + 813, d + 830, '0');   // no creation date
    return cdfix::rawimage(iso, 2);
}

} // namespace

// Every diagnosis, on raw images made from real ISO 9660 images.
TEST_F(ZemInfo, DiagnosesRealDiscImages)
{
    const bytes iso2 = cdfix::makeiso(dir, "GAMEDISC", "PLAYSTATION", 1);
    if (iso2.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    const bytes iso1 = cdfix::makeiso(dir, "OFFICE", "LINUX", 2);
    const bytes raw2 = cdfix::rawimage(iso2, 2), raw1 = cdfix::rawimage(iso1, 1);
    const bytes other = cdfix::rawimage(cdfix::makeiso(dir, "OTHERDISC", "PLAYSTATION", 3), 2);
    const size_t sec = cdfix::rawsector;

    // The fix changes file data in sectors 30 and 40; one patch also rewrites
    // their EDC, the other does not.
    bytes fixed = raw2;
    for (size_t i = 0; i < 10; i++) fixed[30 * sec + 124 + i] ^= 0x55;
    for (size_t i = 0; i < 20; i++) fixed[40 * sec + 600 + i] ^= 0xaa;
    bytes noedc = fixed;
    cdfix::fixedc(fixed, 30);
    cdfix::fixedc(fixed, 40);
    const bytes withedc = v2patch(raw2, diff(raw2, fixed)), without = v2patch(raw2, diff(raw2, noedc));
    bytes half = raw2;   // an interrupted run: sector 30 done, sector 40 not
    std::copy(fixed.begin() + long(30 * sec), fixed.begin() + long(31 * sec), half.begin() + long(30 * sec));
    bytes fixed1 = raw1;
    fixed1[20 * sec + 16] ^= 1;
    cdfix::fixedc(fixed1, 20);
    const bytes mode1 = v2patch(raw1, diff(raw1, fixed1));

    struct Row {
        const char *what;
        bytes image;
        const bytes *patch;
        int status;
        const char *layout;
        json shift;
        bool sizematches;
        int64_t tochange;     // -1: not checked
        int64_t edcbroken;
        const char *phrase;   // in the words of the text report
    } rows[] = {
        // the right image, a patch that keeps the EDC right
        {"right image", raw2, &withedc, 0, "raw", 0, true, -1, 0, "applies cleanly"},
        // a patch that leaves the EDC of both sectors wrong
        {"EDC left wrong", raw2, &without, 0, "raw", 0, true, 30, 2, "(sectors 30, 40): it works"},
        // a Mode 1 disc, its image the right one
        {"Mode 1 disc", raw1, &mode1, 0, "raw", 0, true, -1, 0, "applies cleanly"},
        // ISOs of each disc: the block one descriptor offset earlier
        {"ISO of Mode 2", iso2, &withedc, 2, "iso-mode2", 32776 - 37664, false, -1, 0, "ISO (2048-byte sectors) of the Mode 2"},
        {"ISO of Mode 1", iso1, &mode1, 2, "iso-mode1", 32784 - 37664, false, -1, 0, "ISO (2048-byte sectors) of the Mode 1"},
        // sectors without sync and header, or with subchannel data
        {"2336", cdfix::mode2form1to2336(raw2), &withedc, 2, "raw-2336", 37392 - 37664, false, -1, 0, "2336-byte sectors"},
        {"2448", cdfix::withsubchannel(raw2), &withedc, 2, "raw-2448", 39200 - 37664, false, -1, 0, "2448-byte sectors"},
        // a pregap of 150 sectors in front
        {"pregap", concat(bytes(150 * sec, 0), raw2), &withedc, 2, "shifted", 352800, false, -1, 0, "352800 bytes (150 sectors) towards its end: a pregap?"},
        // another disc: both descriptors shown; its sectors' EDC broken
        {"other disc", other, &withedc, 2, "none", nullptr, true, -1, 2, "Volume (image) : Mode 2 disc, system \"PLAYSTATION\", volume \"OTHERDISC\""},
        // the last sector missing
        {"a sector short", bytes(raw2.begin(), raw2.end() - long(sec)), &withedc, 2, "raw", 0, false, -1, 0, "2352 bytes (1 sector) shorter"},
        // already applied, and half applied
        {"applied", fixed, &withedc, 3, "raw", 0, true, 0, 0, "already applied"},
        {"partly applied", half, &withedc, 0, "raw", 0, true, 24, 0, "partly applied: 2 of 4 records"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        int status;
        json j = info(*row.patch, &row.image, status);
        EXPECT_EQ(status, row.status);
        const json &im = j["image"];
        EXPECT_EQ(im["layout"], row.layout);
        EXPECT_EQ(im["shift"], row.shift);
        EXPECT_EQ(im["size_matches"], row.sizematches);
        EXPECT_EQ(im["block_matches"], std::string(row.layout) == "raw");
        EXPECT_EQ(im["applied"], row.status == 3);
        if (row.tochange >= 0) {
            EXPECT_EQ(im["bytes_to_change"], row.tochange);
        }
        EXPECT_EQ(im["edc_broken_sectors"], row.edcbroken);
        EXPECT_NE(text(&row.image).find(row.phrase), std::string::npos) << text(&row.image);
    }

    // The descriptor fields the validation block carries, for each mode.
    int status;
    json p = info(withedc, nullptr, status)["patch"]["volume"];
    EXPECT_EQ(p["mode"], 2);
    EXPECT_EQ(p["system"], "PLAYSTATION");
    EXPECT_EQ(p["system_cut"], false);
    EXPECT_EQ(p["volume"], "GAMEDISC");
    EXPECT_EQ(p["space_size"], iso2.size() / cdfix::isosector);
    EXPECT_TRUE(std::regex_match(p["created"].get<std::string>(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}")))
        << p["created"];
    p = info(mode1, nullptr, status)["patch"]["volume"];
    EXPECT_EQ(p["mode"], 1);
    EXPECT_EQ(p["system_cut"], true);   // its first 8 bytes lie before the block
    EXPECT_EQ(p["volume"], "OFFICE");
    EXPECT_EQ(info(without, &raw2, status)["image"]["edc_broken_first"], json::array({30, 40}));
}

// The facts of the records, in every order the records may come in and with
// damage anywhere, against a byte-by-byte model.
TEST_F(ZemInfo, RecordFactsInAnyOrder)
{
    const int64_t far = 2048 * 2352;   // the program's window: records across it
    const bytes image = makeimage(size_t(3 * far + 5000), 7);
    uint32_t x = 99;
    auto rnd = [&x] { return (x = x * 1103515245u + 12345u) >> 8; };
    auto randomrecs = [&](int n, int64_t span, bool sorted) {
        std::vector<Rec> r;
        for (int i = 0; i < n; i++) r.push_back({int32_t(rnd() % span), makeimage(1 + rnd() % 64, rnd())});
        if (sorted) std::sort(r.begin(), r.end(), [](const Rec &a, const Rec &b) { return a.pos < b.pos; });
        return r;
    };
    auto of = [&](int64_t pos, size_t len) { return bytes(image.begin() + pos, image.begin() + pos + long(len)); };

    std::vector<std::pair<const char *, std::vector<Rec>>> rows = {
        // ascending, apart: as zemmake writes them
        {"ascending", {{100, {1, 2, 3}}, {5000, {4}}, {5001, {5, 6}}, {40000, {7}}}},
        // ascending, overlapping their neighbours
        {"ascending overlaps", randomrecs(3000, 200000, true)},
        // descending, across the window
        {"descending", {{int32_t(2 * far + 10), {1, 2}}, {int32_t(far - 2), {3, 4, 5, 6}}, {9, {7}}}},
        // random order over three windows and past the image's end
        {"random", randomrecs(5000, 3 * far + 9000, false)},
        // one byte written again and again, some records already in place
        {"same byte", {{77, {1}}, {77, {2}}, {70, of(70, 20)}, {77, {image[77]}}, {far, of(far, 3)}}},
        // zero-length records only, and none at all
        {"empty records", {{5, {}}, {int32_t(far * 2), {}}}},
        {"no records", {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        /* The model: every byte's last value */
        std::map<int64_t, unsigned char> final;
        std::map<int64_t, bool> sectors;
        int64_t databytes = 0, inplace = 0;
        bytes patch = v2patch(image, row.second);
        for (const Rec &r : row.second) {
            databytes += int64_t(r.data.size());
            bool held = !r.data.empty();
            for (size_t i = 0; i < r.data.size(); i++) {
                final[r.pos + int64_t(i)] = r.data[i];
                sectors[(r.pos + int64_t(i)) / 2352] = true;
                held = held && size_t(r.pos) + i < image.size() && image[size_t(r.pos) + i] == r.data[i];
            }
            inplace += held;
        }
        int64_t tochange = 0;
        for (auto &b : final) tochange += size_t(b.first) >= image.size() || image[size_t(b.first)] != b.second;
        bool overlap = int64_t(final.size()) < databytes;

        for (const bytes *img : {static_cast<const bytes *>(nullptr), &image}) {
            int status;
            json j = info(patch, img, status);
            const json &p = j["patch"];
            EXPECT_EQ(status, img && tochange == 0 ? 3 : 0);
            EXPECT_EQ(p["records"], row.second.size());
            EXPECT_EQ(p["data_bytes"], databytes);
            EXPECT_EQ(p["bytes_written"], final.size());
            EXPECT_EQ(p["sectors"], sectors.size());
            EXPECT_EQ(p["overlap"], overlap);
            EXPECT_EQ(p["lowest"], final.empty() ? json(nullptr) : json(final.begin()->first));
            EXPECT_EQ(p["highest"], final.empty() ? json(nullptr) : json(final.rbegin()->first));
            if (!img) continue;
            EXPECT_EQ(j["image"]["bytes_to_change"], tochange);
            EXPECT_EQ(j["image"]["records_in_place"], inplace);
        }
    }

    // Damage: reported at the patch offset of the first record that does not fit.
    bytes good = zemheader(0);
    addrecord(good, 10, {1, 2, 3});
    bytes negative = good;
    addrecord(negative, -5, {1});
    bytes overrun = good;
    addrecord(overrun, 20, {1, 2, 3});
    overrun[overrun.size() - 4] = 200;   // claims more data than follows
    bytes diz = zemheader(1);
    addcheck(diz, 100, {});
    adddiz(diz, "text-------", -1);
    struct Damaged {
        const char *what;
        bytes patch;
        json at;
    } broken[] = {
        {"head cut short", bytes(good.begin(), good.end() - 5), 56},
        {"negative offset", negative, 64},
        {"data past the area", overrun, 64},
        {"version 2.0 header cut short", bytes(diz.begin(), diz.begin() + 500), nullptr},
        {"negative trailer length", diz, nullptr},
    };
    for (const Damaged &d : broken) {
        SCOPED_TRACE(d.what);
        int status;
        json j = info(d.patch, &image, status);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(j["verdict"], "damaged");
        EXPECT_EQ(j["patch"]["damaged"], true);
        EXPECT_EQ(j["patch"]["damaged_at"], d.at);
    }
}

// Exactly one JSON object in every case, errors included, with the keys and
// types a frontend relies on; the texts from the patch as UTF-8.
TEST_F(ZemInfo, JsonInEveryCase)
{
    bytes v1 = zemheader(0, "Caf\x82 \x1b[2J");
    addrecord(v1, 3, {1});
    bytes v2 = zemheader(1, "two");
    addcheck(v2, 1000, makeimage(1000));
    addrecord(v2, 999, {9, 9});
    adddiz(v2, "\xc9\xcd\xbb\r\nline\x07");
    bytes unknown = zemheader(7);
    writefile(path("v1.zem"), v1);
    writefile(path("v2.zem"), v2);
    writefile(path("unknown.zem"), unknown);
    writefile(path("text.zem"), {'h', 'e', 'l', 'l', 'o'});
    writefile(path("image.bin"), makeimage(1000));
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);

    struct Row {
        std::vector<std::string> args;
        int status;
        const char *verdict;
        bool patch, image;
    } rows[] = {
        {{}, 1, "error", false, false},                                          // no patch
        {{"--bogus", path("v1.zem")}, 1, "error", false, false},                 // unknown option
        {{path("missing.zem")}, 1, "error", false, false},                       // cannot open
        {{path("fifo")}, 1, "error", false, false},                              // not a regular file
        {{path("text.zem")}, 1, "error", false, false},                          // not a ZEM patch
        {{path("unknown.zem")}, 1, "error", false, false},                       // unknown method
        {{path("v2.zem"), path("missing.bin")}, 1, "error", false, false},       // image cannot open
        {{path("v1.zem")}, 0, "sound", true, false},                             // version 1.0 alone
        {{path("v1.zem"), path("image.bin")}, 0, "applies", true, true},         // version 1.0, an image
        {{path("v2.zem")}, 0, "sound", true, false},                             // version 2.0 alone
        {{path("v2.zem"), path("image.bin")}, 0, "applies", true, true},         // grows the right image
        {{path("v2.zem"), path("v1.zem")}, 2, "asks", true, true},               // the wrong image
        {{"--codes"}, 1, "error", false, false},                                 // no image
        {{"--codes", path("v1.zem"), path("image.bin")}, 1, "error", false, false},  // a patch too
        {{"--codes", path("fifo")}, 1, "error", false, false},                   // not a regular file
        {{"--codes", path("image.bin")}, 0, "codes_right", false, true},         // no data sectors
        {{path("image.bin"), path("v2.zem")}, 1, "error", false, false},         // in Mavrin's order
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args.empty() ? "no arguments" : row.args[0]);
        int status;
        json j = info(row.args, status);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(j["verdict"], row.verdict);
        EXPECT_EQ(j.contains("error"), std::string(row.verdict) == "error");
        if (j.contains("error")) {
            EXPECT_TRUE(j["error"].is_string());
        }
        ASSERT_EQ(j["patch"].is_object(), row.patch);
        ASSERT_EQ(j["image"].is_object(), row.image);
        if (!row.patch) continue;
        const json &p = j["patch"];
        bool isv2 = p["version"] == "2.0";
        EXPECT_EQ(p["version"], row.args[0] == path("v1.zem") ? "1.0" : "2.0");
        for (const char *k : {"file", "description"}) EXPECT_TRUE(p[k].is_string()) << k;
        for (const char *k : {"records", "data_bytes"}) EXPECT_TRUE(p[k].is_number_integer()) << k;
        EXPECT_TRUE(p["damaged"].is_boolean());
        EXPECT_EQ(p["diz"].is_string(), isv2);
        EXPECT_EQ(p["image_size"].is_number_integer(), isv2);
        if (!row.image) continue;
        const json &i = j["image"];
        EXPECT_TRUE(i["file"].is_string());
        for (const char *k : {"size", "bytes_written", "bytes_to_change", "edc_broken_sectors",
                              "ecc_broken_sectors", "codes_broken_sectors", "no_edc_sectors"})
            EXPECT_TRUE(i[k].is_number_integer()) << k;
        EXPECT_TRUE(i["applied"].is_boolean());
        for (const char *k : {"size_matches", "block_matches", "layout"}) EXPECT_EQ(i[k].is_null(), !isv2) << k;
    }

    // The operands in Mavrin's order: said so.
    RunResult swapped = runprog(ZEMINFO, {path("image.bin"), path("v2.zem")});
    EXPECT_EQ(swapped.err, "zeminfo: " + path("image.bin") + " is not a ZEM patch, but " + path("v2.zem") +
                               " is: the order is PATCH [IMAGE]\n");

    // Code page 437 as UTF-8; for a terminal, control characters as DOS shows them.
    int status;
    json j = info({path("v2.zem")}, status);
    EXPECT_EQ(j["patch"]["diz"], "\u2554\u2550\u2557\r\nline\x07");
    j = info({path("v1.zem")}, status);
    EXPECT_EQ(j["patch"]["description"], "Caf\u00e9 \x1b[2J");
    std::string out = runprog(ZEMINFO, {path("v1.zem")}).out;
    EXPECT_NE(out.find("Description    : Caf\u00e9 \u2190[2J\n"), std::string::npos) << out;
    out = runprog(ZEMINFO, {path("v2.zem")}).out;
    EXPECT_NE(out.find("File_id.diz    : yes\n  \u2554\u2550\u2557\n  line\u2022\n"), std::string::npos) << out;
    EXPECT_EQ(runprog(ZEMINFO, {"--version"}).out, "zeminfo 2.0\n");

    // --help and --version under --json: an object of their own; an operand
    // beside them is a usage error, as elsewhere.
    struct Usage {
        std::vector<std::string> args;
        int status;
        const char *key;
    } usage[] = {
        {{"--version"}, 0, "version"},
        {{"--help"}, 0, "usage"},
        {{"--version", path("v1.zem")}, 1, "error"},
        {{path("v1.zem"), "--help"}, 1, "error"},
    };
    for (const Usage &u : usage) {
        SCOPED_TRACE(u.args[0]);
        j = info(u.args, status);
        EXPECT_EQ(status, u.status);
        EXPECT_TRUE(j[u.key].is_string()) << j;
        RunResult r = runprog(ZEMINFO, u.args);
        EXPECT_EQ(r.status, u.status);
        EXPECT_EQ(r.err.empty(), u.status == 0) << r.err;
        if (u.status != 0) {
            EXPECT_EQ(r.out, "");
        }
    }
}

// A patch (and an image, and the names they were given) whose texts carry
// report lines of their own, behind newlines, carriage returns and escape
// sequences: the words report has only its own lines at column 0, the
// text's lines indented; the JSON report keeps the texts as they are.
TEST_F(ZemInfo, TextsCannotForgeReportLines)
{
    const std::string fake = "Verdict        : applies cleanly";
    const std::string desc = "fix\n" + fake.substr(0, 40) + "\rDamaged";
    const bytes made = discwith("\n" + fake.substr(0, 31), "\r\nDamaged        : no\x1b[8m");
    const bytes image = discwith("\x0b" + fake.substr(0, 31), "\rState          : x\x7f");
    bytes patch = zemheader(1, desc);
    addcheck(patch, int32_t(image.size()), made);
    addrecord(patch, 100, {1, 2});
    adddiz(patch, "ok\n" + fake + "\r\nDamaged        : no\r" + fake + "\n\x0c" + fake);
    const std::string patchname = path("p\n" + fake + ".zem"), imagename = path("i\r" + fake);
    writefile(patchname, patch);
    writefile(imagename, image);

    RunResult r = runprog(ZEMINFO, {patchname, imagename});
    EXPECT_EQ(r.status, 2);
    const std::set<std::string> labels = {
        "Patch", "Version", "Description", "File_id.diz", "Made for", "Volume", "Damaged", "Records",
        "Overlaps", "Grows image", "Image", "Size", "Validation", "Volume (patch)", "Volume (image)",
        "State", "EDC", "ECC", "Codes", "Verdict"};
    std::vector<std::string> atstart;   // the labels of the lines at column 0
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) {
        EXPECT_EQ(l.find_first_of("\r\x0b\x0c\x1b"), std::string::npos) << l;
        if (l.empty() || l.compare(0, 2, "  ") == 0) continue;
        std::string label = l.substr(0, l.find_last_not_of(' ', 14) + 1);
        EXPECT_EQ(labels.count(label), 1u) << l;
        EXPECT_EQ(l.compare(15, 2, ": "), 0) << l;
        atstart.push_back(label);
    }
    EXPECT_EQ(std::count(atstart.begin(), atstart.end(), "Verdict"), 1) << r.out;
    EXPECT_EQ(std::count(atstart.begin(), atstart.end(), "Damaged"), 1) << r.out;
    EXPECT_EQ(atstart.back(), "Verdict");
    EXPECT_NE(r.out.find("Description    : fix\u25d9Verdict"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n  ok\n  " + fake + "\n  Damaged        : no\u266a" + fake + "\n  \u2640" + fake + "\n"),
              std::string::npos)
        << r.out;

    int status;
    json j = info({patchname, imagename}, status);
    EXPECT_EQ(j["patch"]["file"], patchname);
    EXPECT_EQ(j["patch"]["description"], desc);
    EXPECT_EQ(j["patch"]["volume"]["volume"], "\r\nDamaged        : no\x1b[8m");
    EXPECT_EQ(j["image"]["volume"]["system"], "\x0b" + fake.substr(0, 31));
}

// Counts of one, and a stored image size that no image can have, in words.
TEST_F(ZemInfo, WordsForOneAndForMany)
{
    const bytes disc = discwith("SYSTEM", "ONE");
    const size_t sec = cdfix::rawsector;
    bytes broken = disc, fixed = disc;   // one byte of sector 17, its EDC left wrong or made right
    broken[17 * sec + 100] ^= 1;
    fixed[17 * sec + 100] ^= 1;
    cdfix::fixedc(fixed, 17);
    bytes negative = zemheader(1);
    addcheck(negative, -5, disc);
    addrecord(negative, 10, {1});
    bytes cut = zemheader(0);
    addrecord(cut, 3, {1});
    addrecord(cut, 4, {1, 2});
    cut.pop_back();
    const bytes three = bytes(disc.begin() + 7, disc.begin() + 10);
    bytes onediffers = three;
    onediffers[1] ^= 1;
    bytes one = disc;
    one[5] ^= 1;
    bytes v1 = zemheader(0);
    addrecord(v1, int32_t(17 * sec + 100), {7});
    const bytes notraw = makeimage(disc.size());

    struct Row {
        const char *what;
        bytes patch;
        const bytes *image;
        int status;
        std::string phrase;
    } rows[] = {
        {"invalid size", negative, nullptr, 0,
         "Made for       : no image: the stored size, -5, is invalid; Mavrin will ask about the size "
         "for every image\n"},
        {"invalid size, an image", negative, &disc, 2,
         "Size           : 47040 bytes; the size the patch stores is invalid, so Mavrin asks about it\n"},
        {"grows to 1 byte", v2patch({}, {{0, {7}}}, 0), nullptr, 0, "Grows image    : yes, to 1 byte\n"},
        {"1 byte differs", v2patch(disc, {{7, onediffers}}), &disc, 0,
         "State          : not applied: 1 of the 3 bytes the patch writes differs\n"},
        {"the one byte differs", v2patch(disc, {{5, {one[5]}}}), &disc, 0,
         "State          : not applied: the one byte the patch writes differs\n"},
        {"1 record in place", v2patch(disc, {{7, three}, {5, {one[5]}}}), &disc, 0,
         "partly applied: 1 of 2 records already holds its bytes (3 of 4 bytes)"},
        {"1 record before the damage", cut, &disc, 1, "Records        : 1 record fits before the damage\n"},
        {"1 EDC left wrong", v2patch(disc, diff(disc, broken)), &disc, 0,
         "EDC            : 1 sector written into has a right EDC now; the patch leaves it wrong (sector 17): "},
        {"1 EDC kept right", v2patch(disc, diff(disc, fixed)), &disc, 0,
         "EDC            : 1 sector written into has a right EDC now; the patch keeps it right\n"},
        // version 1.0: no check of the image, only what its sectors look like
        {"version 1.0, a raw disc", v1, &disc, 0,
         "Verdict        : Mavrin applies it without asking: a version 1.0 patch cannot check its image\n"},
        {"version 1.0, no raw sector", v1, &notraw, 0,
         "Sectors        : none of the 1 sector written into is a raw CD data sector (sync pattern, Mode 1 "
         "or 2): is this a raw image of 2352-byte sectors?\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        writefile(path("p.zem"), row.patch);
        if (row.image) writefile(path("i.bin"), *row.image);
        RunResult r = runprog(ZEMINFO, row.image ? std::vector<std::string>{path("p.zem"), path("i.bin")}
                                                 : std::vector<std::string>{path("p.zem")});
        EXPECT_EQ(r.status, row.status);
        EXPECT_NE(r.out.find(row.phrase), std::string::npos) << r.out;
    }
    int status;
    json p = info(negative, nullptr, status)["patch"];
    EXPECT_EQ(p["image_size"], -5);
    EXPECT_EQ(p["image_size_valid"], false);
    EXPECT_EQ(p["grows"], nullptr);
    EXPECT_EQ(info(v2patch(disc, {}), nullptr, status)["patch"]["image_size_valid"], true);
}

// The codes of real disc sectors of every kind: what a patch leaves in the
// sectors it writes into, and what --codes finds in a whole image.
TEST_F(ZemInfo, CodesOfRealDiscSectors)
{
    const bytes iso = cdfix::makeiso(dir, "CODES", "PLAYSTATION", 4);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    const bytes good = cdfix::everykind(iso), spoiled = cdfix::spoil(good);
    const bytes fixed = cdfix::withcodes(spoiled, cdfix::spoiledwrong);
    const int64_t n = int64_t(good.size() / cdfix::rawsector);
    using list = std::vector<int64_t>;
    struct Row {
        const char *what;
        bytes patch;                  // empty: --codes
        const bytes *image;
        int status;
        int64_t edcright, edcbroken;
        list edcfirst;
        int64_t eccright, eccbroken;
        list eccfirst;
        int64_t codesbroken, noedc;
        const char *phrase;           // in the words report
    } rows[] = {
        // data changed, codes left stale: every data sector written into with an EDC
        {"stale codes", v2patch(good, diff(good, spoiled)), &good, 0, 7, 5, {21, 23, 30, 32, 40},
         6, 6, {23, 30, 31, 32, 33}, 7, 2, "the patch leaves 7 data sectors with a wrong EDC or ECC"},
        // the same change with right codes (zemmake -e): sectors 31-33 stay as they are
        {"right codes", v2patch(good, diff(good, fixed)), &good, 0, 4, 0, {}, 3, 0, {}, 0, 2,
         "every data sector it writes into is left with right codes"},
        // a repair, explained: the codes were wrong before, right after
        {"a repair", v2patch(spoiled, diff(spoiled, fixed)), &spoiled, 0, 2, 0, {}, 0, 0, {}, 0, 0,
         "no Mode 1 or Form 1 sector written into has right P and Q now"},
        {"--codes, right", {}, &good, 0, n - 4, 0, {}, n - 5, 0, {}, 0, 2,
         "the codes of every data sector are right"},
        {"--codes, wrong", {}, &spoiled, 4, n - 9, 5, {21, 23, 30, 32, 40}, n - 11, 6, {23, 30, 31, 32, 33},
         7, 2, "7 data sectors with a wrong EDC or ECC"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        int status;
        json j;
        std::string words;
        writefile(path("i.bin"), *row.image);
        if (row.patch.empty()) {
            j = info({"--codes", path("i.bin")}, status);
            words = runprog(ZEMINFO, {"--codes", path("i.bin")}).out;
            EXPECT_EQ(j["patch"], nullptr);
            EXPECT_EQ(j["verdict"], status ? "codes_wrong" : "codes_right");
            const json &im = j["image"];
            EXPECT_EQ(im["no_edc_first"], json::array({22, 24}));
            EXPECT_EQ(im["codes_broken_sectors"], row.codesbroken);
            EXPECT_EQ(im["mode1_sectors"], 2);
            EXPECT_EQ(im["form2_sectors"], 2);
            EXPECT_EQ(im["other_sectors"], 2);
        } else {
            j = info(row.patch, row.image, status);
            words = text(row.image);
        }
        EXPECT_EQ(status, row.status);
        const json &im = j["image"];
        EXPECT_EQ(im["edc_right_sectors"], row.edcright);
        EXPECT_EQ(im["edc_broken_sectors"], row.edcbroken);
        EXPECT_EQ(im["edc_broken_first"], json(row.edcfirst));
        EXPECT_EQ(im["ecc_right_sectors"], row.eccright);
        EXPECT_EQ(im["ecc_broken_sectors"], row.eccbroken);
        EXPECT_EQ(im["ecc_broken_first"], json(row.eccfirst));
        EXPECT_EQ(im["codes_broken_sectors"], row.codesbroken);
        EXPECT_EQ(im["no_edc_sectors"], row.noedc);
        EXPECT_NE(words.find(row.phrase), std::string::npos) << words;
    }
}

// --codes and the codes of the sectors written into follow a cue sheet's
// tracks: an AUDIO track's samples that read as data sectors are audio, and
// a raw track after a 2048-byte one is checked at its own offsets.
TEST_F(ZemInfo, CodesFollowTheCueSheetsTracks)
{
    const bytes iso = cdfix::makeiso(dir, "TRACKS", "PLAYSTATION", 4);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    const size_t sec = cdfix::rawsector;
    const int64_t n1 = int64_t(iso.size() / cdfix::isosector);
    const bytes data = cdfix::rawimage(iso, 2), audio = cdfix::audiolikedata(data, 40, 3);
    const bytes spoiled = cdfix::spoil(cdfix::everykind(iso));
    writefile(path("data.bin"), data);
    writefile(path("audio.bin"), audio);
    writefile(path("mixed.bin"), concat(iso, spoiled));
    const std::string a = "FILE \"data.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
                          "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n";
    const std::string m = "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                          "  TRACK 02 MODE2/2352\n    INDEX 01 " + cdfix::msf(size_t(n1)) + "\n";
    writefile(path("audio.cue"), bytes(a.begin(), a.end()));
    writefile(path("mixed.cue"), bytes(m.begin(), m.end()));
    // A patch that writes into the audio sectors that read as data (5 has right codes).
    const bytes merged = concat(data, audio);
    writefile(path("p.zem"), v2patch(merged, {{int32_t(data.size() + 2 * sec + 200), {1, 2, 3}},
                                              {int32_t(data.size() + 5 * sec + 300), {4, 5, 6}}}));
    const int64_t nraw = int64_t(spoiled.size() / sec);
    struct Row {
        const char *what;
        std::vector<std::string> args;
        int status;
        json facts;            // in "image"
        const char *phrase;    // in the words report
    } rows[] = {
        {"--codes, an AUDIO track", {"--codes", path("audio.cue")}, 0,
         {{"mode1_sectors", 0}, {"form1_sectors", int64_t(data.size() / sec)}, {"audio_sectors", 40},
          {"other_sectors", 0}, {"codes_broken_sectors", 0}},
         "40 sectors of AUDIO track 2: music, never data sectors, no codes checked"},
        {"--codes, after a 2048-byte track", {"--codes", path("mixed.cue")}, 4,
         {{"sectors", n1 + nraw}, {"no_codes_sectors", n1}, {"mode1_sectors", 2}, {"form2_sectors", 2},
          {"codes_broken_sectors", 7},
          {"edc_broken_first", json::array({n1 + 21, n1 + 23, n1 + 30, n1 + 32, n1 + 40})}},
         "sectors of track 1, of fewer than 2352 bytes a sector: they keep the data alone, no codes to check"},
        {"a patch into an AUDIO track", {path("p.zem"), path("audio.cue")}, 0,
         {{"edc_right_sectors", 0}, {"edc_broken_sectors", 0}, {"codes_broken_sectors", 0}},
         "no sector written into has a right EDC now"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        int status;
        json j = info(row.args, status);
        EXPECT_EQ(status, row.status);
        for (const auto &f : row.facts.items()) EXPECT_EQ(j["image"][f.key()], f.value()) << f.key();
        const std::string words = runprog(ZEMINFO, row.args).out;
        EXPECT_NE(words.find(row.phrase), std::string::npos) << words;
    }
}

// What Mavrin meets when it opens the image, judged as Mavrin judges it: its
// own words quoted, the verdict "unwritable", and the rest still reported.
TEST_F(ZemInfo, JudgesWhatMavrinMeetsWhenItOpensTheImage)
{
    const bytes img = makeimage(40000);
    const bytes patch = v2patch(img, {{100, {1, 2, 3}}});
    writefile(path("p.zem"), patch);
    writefile(path("ro.bin"), img);
    ASSERT_EQ(chmod(path("ro.bin").c_str(), 0444), 0);
    ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(path("p.zem").c_str(), path("link").c_str()), 0);
    struct Row {
        const char *name;   // the image
        bool writable;
        bool examined;      // its facts reported
    } rows[] = {
        {"image.bin", true, true},
        {"ro.bin", false, true},     // without root's power over permissions
        {"folder", false, false},
        {"fifo", false, false},      // nobody writes to it: nothing may wait
        {"p.zem", false, true},      // the patch itself
        {"link", false, true},       // the patch by another name
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string image = path(row.name);
        writefile(path("image.bin"), img);
        RunResult words = runprog(ZEMINFO, {path("p.zem"), image}, "", 0, true);
        if (words.status == 126) GTEST_SKIP() << "cannot run without root's power over permissions";
        RunResult jr = runprog(ZEMINFO, {"--json", path("p.zem"), image}, "", 0, true);
        json j = json::parse(jr.out, nullptr, false);
        EXPECT_EQ(jr.status, row.writable ? 0 : 1);
        EXPECT_EQ(words.status, jr.status);
        EXPECT_EQ(j["verdict"], row.writable ? "applies" : "unwritable");
        EXPECT_EQ(j["image"]["writable"], row.writable);
        EXPECT_EQ(j["image"]["unwritable_reason"].is_string(), !row.writable);
        EXPECT_EQ(j["patch"]["records"], 1);
        EXPECT_EQ(j["image"]["bytes_to_change"].is_number(), row.examined) << j;

        // Mavrin last, as it patches what it can.
        RunResult m = runprog(MAVRIN_DYNAMIC, {image, path("p.zem")}, "", 0, true);
        const std::string said = m.out.substr(std::string(banner).size());
        if (row.writable) {
            EXPECT_EQ(said.substr(said.size() - done.size()), done);
            EXPECT_EQ(words.out.find("Writable"), std::string::npos) << words.out;
            continue;
        }
        EXPECT_EQ(said, "File " + image + " does not exist.\n");
        const std::string quoted = "Mavrin prints \"" + said.substr(0, said.size() - 1) + "\"";
        EXPECT_NE(words.out.find("Writable       : no: "), std::string::npos) << words.out;
        EXPECT_NE(words.out.find("Verdict        : unwritable: " + quoted + " and changes nothing\n"),
                  std::string::npos)
            << words.out;
        EXPECT_TRUE(readfile(path("p.zem")) == patch);
    }
}

// Texts are read one way for the whole patch: plain ASCII, valid UTF-8 as
// it is, anything else as code page 437.
TEST_F(ZemInfo, TextsReadAsUtf8OrCodePage437)
{
    const std::string cut = std::string(49, 'a') + "\xc3";   // the field ends inside "é"
    struct Row {
        const char *what;
        std::string desc, diz;   // diz empty: no trailer
        const char *encoding;
        std::string shown, dizshown;
    } rows[] = {
        {"ASCII", "Game (fix)", "", "ascii", "Game (fix)", ""},
        {"UTF-8", "Caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x8e\xae", "r\xc3\xa9sum\xc3\xa9\n", "utf-8",
         "Caf\u00e9 \u65e5\U0001f3ae", "r\u00e9sum\u00e9\n"},
        {"code page 437", "Caf\x82", "\xc9\xcd\xbb", "cp437", "Caf\u00e9", "\u2554\u2550\u2557"},
        // one text that is no UTF-8 makes both code page 437
        {"UTF-8 beside code page 437", "\xc3\xa9", "\xc9\xcd\xbb", "cp437", "\u251c\u2310", "\u2554\u2550\u2557"},
        {"cut at the field's end", cut, "", "utf-8", std::string(49, 'a'), ""},
        {"cut short inside", "a\xc3" "b", "", "cp437", "a\u251c" "b", ""},
        {"overlong", "\xc0\xaf", "", "cp437", "\u2514\u00bb", ""},
        {"surrogate", "\xed\xa0\x80", "", "cp437", "\u03c6\u00e1\u00c7", ""},
        // a C1 control character kept in the JSON report
        {"C1 control", "x", "a\xc2\x9b" "2Jb", "utf-8", "x", "a\xc2\x9b" "2Jb"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        bytes p = zemheader(1, row.desc);
        addcheck(p, 100, {});
        if (!row.diz.empty()) adddiz(p, row.diz);
        int status;
        json j = info(p, nullptr, status)["patch"];
        EXPECT_EQ(j["text_encoding"], row.encoding);
        EXPECT_EQ(j["description"], row.shown);
        if (!row.diz.empty()) {
            EXPECT_EQ(j["diz"], row.dizshown);
        }
    }
    // On a terminal's report a C1 control character is no escape sequence.
    std::string out = text(nullptr);
    EXPECT_NE(out.find("  a\ufffd2Jb\n"), std::string::npos) << out;
}

// Creation dates of a volume descriptor as RFC 3339; what is no date, as none.
TEST(Volume, CreationDatesAsRfc3339)
{
    struct Row {
        const char *digits;
        signed char quarters;   // offset from GMT
        const char *created;
    } rows[] = {
        {"2026120815140100", 0, "2026-12-08T15:14:01+00:00"},
        {"1999010100000099", -20, "1999-01-01T00:00:00-05:00"},   // hundredths left out
        {"2026120815140100", 52, "2026-12-08T15:14:01+13:00"},
        {"2026120815140100", -48, "2026-12-08T15:14:01-12:00"},
        {"0000000000000000", 0, ""},                                // not set
        {"2026130815140100", 0, ""},                                // month 13
        {"2026120015140100", 0, ""},                                // day 0
        {"2026120824000000", 0, ""},                                // hour 24
        {"2026120815140100", 53, ""},                               // past GMT+13
        {"20261208151401x0", 0, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.digits);
        bytes d(2048, 0);
        const unsigned char head[] = {1, 'C', 'D', '0', '0', '1', 1};
        std::copy(head, head + sizeof head, d.begin());
        const unsigned char space[] = {20, 0, 0, 0, 0, 0, 0, 20}, block[] = {0, 8, 8, 0};
        std::copy(space, space + 8, d.begin() + 80);
        std::copy(block, block + 4, d.begin() + 128);
        std::copy(row.digits, row.digits + 16, d.begin() + 813);
        d[829] = (unsigned char)row.quarters;
        Volume v = decodevolume(d.data(), long(d.size()), 0);
        ASSERT_TRUE(v.valid);
        EXPECT_EQ(v.created, row.created);
    }
}

namespace {

// A dump as dump tools write it: a data track made from a real ISO, two audio
// tracks, one file each, and the cue sheet Game.cue (CRLF) that lists them;
// also the same bytes merged into merged.bin.
struct Dump {
    bytes track[3], merged;
    std::string name[3];
    void write(const std::string &dir, const bytes &iso)
    {
        track[0] = cdfix::rawimage(iso, 2);
        track[1] = makeimage(700 * cdfix::rawsector, 5);
        track[2] = makeimage(30 * cdfix::rawsector, 6);
        std::string cue;
        const char *modes[] = {"MODE2/2352", "AUDIO", "AUDIO"};
        for (int i = 0; i < 3; i++) {
            name[i] = "Game (Track 0" + std::to_string(i + 1) + ").bin";
            writefile(dir + "/" + name[i], track[i]);
            merged = concat(merged, track[i]);
            cue += "FILE \"" + name[i] + "\" BINARY\r\n  TRACK 0" + std::to_string(i + 1) + " " + modes[i] +
                   "\r\n    INDEX 01 00:00:00\r\n";
        }
        writefile(dir + "/merged.bin", merged);
        writefile(dir + "/Game.cue", bytes(cue.begin(), cue.end()));
    }
};

// The output of a shell command run in dir.
std::string shell(const std::string &dir, const std::string &cmd)
{
    std::string out;
    FILE *p = popen(("cd '" + dir + "' && " + cmd).c_str(), "r");
    char buf[4096];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    EXPECT_TRUE(p && pclose(p) == 0) << cmd;
    return out;
}

// The image object less what tells a cue sheet from its merged file.
json findings(json image)
{
    for (const char *key : {"file", "cue", "tracks", "split_of", "records_beyond", "hashes"}) image.erase(key);
    return image;
}

} // namespace

// A cue sheet is the image its track files make merged: the same verdict
// and findings, with its tracks and the records that write into each. One
// track file of such a dump is told as one, with what to do about it.
TEST_F(ZemInfo, CueSheetsAndTheirTrackFiles)
{
    const bytes iso = cdfix::makeiso(dir, "GAMEDISC", "PLAYSTATION", 4);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    Dump d;
    d.write(dir, iso);
    const size_t sec = cdfix::rawsector, a = d.track[0].size(), b = a + d.track[1].size();
    const int32_t end = int32_t(d.merged.size());
    // Data changed in the data track (its EDC left wrong), across the first
    // boundary, in the last track, and past the end.
    const bytes whole = v2patch(d.merged, {{int32_t(20 * sec + 100), bytes(10, 1)}, {int32_t(a - 4), bytes(8, 2)},
                                           {int32_t(b + 100), {3}}, {end + 10, {4}}});
    const bytes first = v2patch(d.merged, {{int32_t(20 * sec + 100), bytes(10, 1)}, {int32_t(a - 1), {5}}});
    const bytes alone = v2patch(d.track[1], {{100, {6}}});
    writefile(path("whole.zem"), whole);
    writefile(path("first.zem"), first);
    writefile(path("alone.zem"), alone);

    // Cue sheet against merged file, and what --codes finds in each.
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{path("whole.zem")}, {path("first.zem")}, {"--codes"}}) {
        int cuestatus, mergedstatus;
        std::vector<std::string> withcue = args, withmerged = args;
        withcue.push_back(path("Game.cue"));
        withmerged.push_back(path("merged.bin"));
        json c = info(withcue, cuestatus), m = info(withmerged, mergedstatus);
        EXPECT_EQ(cuestatus, mergedstatus) << args[0];
        EXPECT_EQ(c["verdict"], m["verdict"]) << args[0];
        // but that the sheet's AUDIO tracks are audio, never data sectors
        // written into, where the merged file's are only not data sectors
        json cf = findings(c["image"]), mf = findings(m["image"]);
        if (args[0] == "--codes") {
            EXPECT_GT(cf["audio_sectors"], 0);
            mf["other_sectors"] = mf["other_sectors"].get<int64_t>() - cf["audio_sectors"].get<int64_t>();
            mf["audio_sectors"] = cf["audio_sectors"];
        } else {
            EXPECT_LE(cf["sectors_in_image"], mf["sectors_in_image"]);
            cf.erase("sectors_in_image");
            mf.erase("sectors_in_image");
        }
        EXPECT_EQ(cf, mf) << args[0];
        EXPECT_EQ(c["image"]["cue"], path("Game.cue"));
        EXPECT_EQ(m["image"]["cue"], nullptr);
        EXPECT_EQ(m["image"]["tracks"], nullptr);
    }
    int status;
    json j = info({path("whole.zem"), path("Game.cue")}, status);
    EXPECT_EQ(j["image"]["edc_broken_sectors"], 1);
    EXPECT_EQ(j["image"]["grows"], true);
    const int64_t want[3][3] = {{0, int64_t(a), 2}, {int64_t(a), int64_t(b - a), 1}, {int64_t(b), int64_t(d.track[2].size()), 2}};
    ASSERT_EQ(j["image"]["tracks"].size(), 3u) << j;
    for (int i = 0; i < 3; i++) {
        const json &t = j["image"]["tracks"][size_t(i)];
        EXPECT_EQ(t["number"], i + 1);
        EXPECT_EQ(t["file"], path(d.name[i]));
        EXPECT_EQ(t["mode"], i ? "AUDIO" : "MODE2/2352");
        EXPECT_EQ(t["first"], want[i][0]);
        EXPECT_EQ(t["size"], want[i][1]);
        EXPECT_EQ(t["records"], want[i][2]) << "track " << i + 1;
    }
    const std::string words = runprog(ZEMINFO, {path("whole.zem"), path("Game.cue")}).out;
    EXPECT_NE(words.find("Track 02       : Game (Track 02).bin, AUDIO, " + std::to_string(b - a) +
                         " bytes from image offset " + std::to_string(a) + ", 1 record writing into it\n"),
              std::string::npos)
        << words;

    // One track file of the dump, given alone.
    struct Row {
        const char *what;
        int track;
        const char *patch;
        int beyond;
        const char *advice;
        json answers;   // to the size question and the validation block's; null: not asked
    } rows[] = {
        {"the first track, every record within it", 0, "first.zem", 0,
         "Mavrin asks only about the size, since the validation block, which this file holds, matches: "
         "answer y (the size: this file is only part of that image); or pass", {"y", nullptr}},
        {"the first track, records beyond it", 0, "whole.zem", 3,
         "answer n when Mavrin asks about the size on this file (the records", {"n", nullptr}},
        {"a later track: other offsets", 1, "first.zem", 0, "would land in the wrong places: pass", {"n", "n"}},
        {"a later track, the patch made for it", 1, "alone.zem", 0, "made for this file alone", {nullptr, nullptr}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string image = path(d.name[row.track]);
        j = info({path(row.patch), image}, status);
        EXPECT_EQ(j["image"]["split_of"], path("Game.cue"));
        EXPECT_EQ(j["image"]["records_beyond"], row.beyond);
        EXPECT_EQ(j["image"]["split_answers"],
                  json({{"size", row.answers[0]}, {"validation_block", row.answers[1]}}));
        const std::string split = runprog(ZEMINFO, {path(row.patch), image}).out;
        EXPECT_NE(split.find("Split dump     : this file is track file " + std::to_string(row.track + 1) +
                             " of 3 of " + path("Game.cue")),
                  std::string::npos)
            << split;
        EXPECT_NE(split.find(row.advice), std::string::npos) << split;
    }
    j = info({path("whole.zem"), path("merged.bin")}, status);
    EXPECT_EQ(j["image"]["split_of"], nullptr);
    EXPECT_EQ(j["image"]["records_beyond"], nullptr);
}

// The first track file of a split dump, given alone with a patch made for
// the whole dump: what to answer to each question Mavrin asks on it, and
// why. Checked against Mavrin itself: it asks exactly the questions
// answered, and the advised answers patch the file exactly when every
// answer is y.
TEST_F(ZemInfo, SplitTrackFileAnswersEachQuestionMavrinAsks)
{
    const size_t sec = cdfix::rawsector;
    struct Row {
        const char *what;
        size_t filesize;           // of the first track file
        bool later;                // another revision: the block's bytes changed in the dump
        const char *size, *block;  // the answers; "" where Mavrin does not ask
        int blockfile;             // the track file that holds the block in the dump
        const char *says;
    } rows[] = {
        {"ends before the block, which matches in the dump", 10 * sec, false, "y", "y", 2,
         "answer y (the size: this file is only part of that image) to the first, and y (the validation "
         "block: it lies past this file's end, in t2.bin, so Mavrin compares it here with zeros, which "
         "cannot match; in "},
        {"ends before the block, which differs in the dump", 10 * sec, true, "y", "n", 2,
         "and n (the validation block: it lies past this file's end, in t2.bin, so Mavrin compares it "
         "here with zeros, and in "},
        {"ends within the block", zem::imageblockpos + 500, false, "y", "y", 2,
         "it runs past this file's end, into t2.bin, so Mavrin compares it here with zeros, which cannot match"},
        {"holds the block, which matches", 20 * sec, false, "y", "", 1,
         "Mavrin asks only about the size, since the validation block, which this file holds, matches: "
         "answer y (the size"},
        {"holds the block, which differs", 20 * sec, true, "y", "n", 1,
         "and n (the validation block: this file holds it, and its bytes differ from those the patch "
         "was made for: another disc, or another revision of it) to the second; Mavrin then stops"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const bytes t1 = makeimage(row.filesize, 1), t2 = makeimage(30 * sec, 2);
        const bytes merged = concat(t1, t2);
        const bytes patch = v2patch(merged, {{100, bytes(5, 0xee)}});
        bytes now1 = t1, now2 = t2;   // as the dump is now
        const size_t changed = zem::imageblockpos + zem::checkblocklen - 10;   // in the block's last file
        if (row.later) (row.blockfile == 1 ? now1[changed] : now2[changed - t1.size()]) ^= 1;
        const std::string cue = "FILE \"t1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                "FILE \"t2.bin\" BINARY\n  TRACK 02 MODE1/2352\n    INDEX 01 00:00:00\n";
        writefile(path("d.cue"), bytes(cue.begin(), cue.end()));
        writefile(path("t2.bin"), now2);
        writefile(path("p.zem"), patch);
        writefile(path("t1.bin"), now1);

        int status;
        const json j = info({path("p.zem"), path("t1.bin")}, status);
        auto answer = [](const char *a) { return *a ? json(a) : json(nullptr); };
        EXPECT_EQ(j["image"]["split_answers"], json({{"size", answer(row.size)}, {"validation_block", answer(row.block)}}));
        EXPECT_EQ(j["image"]["split_block"],
                  json({{"file", path("t" + std::to_string(row.blockfile) + ".bin")}, {"matches", !row.later}}));
        const std::string words = runprog(ZEMINFO, {path("p.zem"), path("t1.bin")}).out;
        EXPECT_NE(words.find(row.says), std::string::npos) << words;

        // Mavrin asks what was answered, and the advice patches only when it is all y.
        const std::string sizeq = "The size of the BIN file isnt correct", blockq = "The BINfile does not seem";
        RunResult m = runprog(MAVRIN_DYNAMIC, {path("t1.bin"), path("p.zem")}, "yy");
        EXPECT_EQ(m.out.find(sizeq) != std::string::npos, *row.size != 0) << m.out;
        EXPECT_EQ(m.out.find(blockq) != std::string::npos, *row.block != 0) << m.out;
        writefile(path("t1.bin"), now1);
        m = runprog(MAVRIN_DYNAMIC, {path("t1.bin"), path("p.zem")}, std::string(row.size) + row.block);
        bytes patched = now1;
        putbytes(patched, 100, bytes(5, 0xee));
        const bool allyes = (std::string(row.size) + row.block).find('n') == std::string::npos;
        EXPECT_TRUE(readfile(path("t1.bin")) == (allyes ? patched : now1));
        EXPECT_EQ(m.out.find("Aborted...") == std::string::npos, allyes) << m.out;
    }
}

// --hash: CRC32, MD5 and SHA-1 of each track file and of the whole image,
// as md5sum, sha1sum and Python's zlib.crc32 give them; and the refusals of
// a cue sheet as zeminfo words them.
TEST_F(ZemInfo, HashesAndRefusalsOfCueSheets)
{
    const bytes iso = cdfix::makeiso(dir, "GAMEDISC", "PLAYSTATION", 5);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    Dump d;
    d.write(dir, iso);
    const bytes patch = v2patch(d.merged, {{100, {1}}});
    writefile(path("p.zem"), patch);

    std::map<std::string, json> want;   // by file name
    const std::string files = "'" + d.name[0] + "' '" + d.name[1] + "' '" + d.name[2] + "' merged.bin";
    std::istringstream md5(shell(dir, "md5sum " + files)), sha1(shell(dir, "sha1sum " + files));
    std::istringstream crc(shell(dir, "python3 -c 'import sys, zlib\nfor f in sys.argv[1:]: "
                                      "print(\"%08x\" % zlib.crc32(open(f, \"rb\").read()))' " + files));
    for (const std::string &name : {d.name[0], d.name[1], d.name[2], std::string("merged.bin")}) {
        std::string m, s, c, rest;
        md5 >> m;
        std::getline(md5, rest);
        sha1 >> s;
        std::getline(sha1, rest);
        crc >> c;
        want[name] = {{"crc32", c}, {"md5", m}, {"sha1", s}};
    }
    int status;
    json j = info({"--hash", path("Game.cue")}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(j, json({{"patch", nullptr}, {"image", j["image"]}}));
    EXPECT_EQ(j["image"]["hashes"], want["merged.bin"]);
    for (int i = 0; i < 3; i++) EXPECT_EQ(j["image"]["tracks"][size_t(i)]["hashes"], want[d.name[i]]) << i;
    EXPECT_EQ(info({"--hash", path("merged.bin")}, status)["image"]["hashes"], want["merged.bin"]);
    j = info({"--hash", path(d.name[2])}, status);
    EXPECT_EQ(j["image"]["hashes"], want[d.name[2]]);
    EXPECT_EQ(j["image"]["split_of"], path("Game.cue"));
    j = info({"--hash", path("p.zem"), path("Game.cue")}, status);
    EXPECT_EQ(j["verdict"], "applies");
    EXPECT_EQ(j["image"]["hashes"], want["merged.bin"]);
    const std::string words = runprog(ZEMINFO, {"--hash", path("Game.cue")}).out;
    EXPECT_NE(words.find("MD5            : " + want[d.name[0]]["md5"].get<std::string>() + "  " + d.name[0] + "\n"),
              std::string::npos)
        << words;

    // Refusals: of the cue sheet itself (an error), or of Mavrin's opening
    // of its files for writing (unwritable, the rest reported).
    writefile(path("ro.bin"), d.track[1]);
    ASSERT_EQ(chmod(path("ro.bin").c_str(), 0444), 0);
    auto cue = [&](const std::string &second) {
        return "FILE \"" + d.name[0] + "\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\nFILE \"" +
               second + "\" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 01 00:00:00\r\n";
    };
    struct Row {
        std::string second;   // the second track file the sheet lists
        const char *verdict;
        std::string says;     // the error, or why it is unwritable
    } rows[] = {
        {"none.bin", "error", path("none.bin") + ", listed in " + path("Try.cue") + ", is missing"},
        {d.name[0], "error", path(d.name[0]) + ", listed in " + path("Try.cue") + ", is listed twice in the cue sheet"},
        {"p.zem", "unwritable", path("p.zem") + ", listed in " + path("Try.cue") + ", is the same file as the patch"},
        {"ro.bin", "unwritable",
         path("ro.bin") + ", listed in " + path("Try.cue") + ", cannot be opened: Permission denied"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.second);
        const std::string text = cue(row.second);
        writefile(path("Try.cue"), bytes(text.begin(), text.end()));
        RunResult r = runprog(ZEMINFO, {"--json", path("p.zem"), path("Try.cue")}, "", 0, true);
        if (r.status == 126) GTEST_SKIP() << "cannot run without root's power over permissions";
        j = json::parse(r.out, nullptr, false);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(j["verdict"], row.verdict);
        EXPECT_EQ(row.verdict == std::string("error") ? j["error"] : j["image"]["unwritable_reason"], row.says) << j;
        if (row.verdict == std::string("unwritable")) {   // the rest reported
            EXPECT_EQ(j["image"]["size"], int64_t(d.track[0].size() + readfile(path(row.second)).size()));
        }
        RunResult w = runprog(ZEMINFO, {path("p.zem"), path("Try.cue")}, "", 0, true);
        EXPECT_NE((w.out + w.err).find(row.says), std::string::npos) << w.out << w.err;
    }
}

// Several patches in order against one image: each step judged against the
// image as the earlier steps leave it, the stack's verdict that of the first
// step that does not apply cleanly.
TEST_F(ZemInfo, StackJudgesEachPatchAgainstWhatTheEarlierOnesLeave)
{
    const bytes orig = makeimage(60000, 7);
    // The first patch changes bytes of the validation block and grows the image.
    const std::vector<Rec> first = {{37700, bytes(40, 0x5a)}, {60010, bytes(20, 0x11)}};
    bytes left = orig;
    for (const Rec &r : first) putbytes(left, r.pos, r.data);
    const std::vector<Rec> second = {{100, bytes(30, 0x77)}, {37710, bytes(5, 0x22)}};
    writefile(path("i.bin"), orig);
    writefile(path("first.zem"), v2patch(orig, first));
    writefile(path("madeforleft.zem"), v2patch(left, second));
    writefile(path("madefororig.zem"), v2patch(orig, second));
    writefile(path("damaged.zem"), concat(v2patch(orig, {}), {1, 2, 3}));
    struct Case {
        std::vector<std::string> patches;
        std::vector<std::string> verdicts;
        std::string stack;
        int decides, status;
    } cases[] = {
        {{"first.zem", "madeforleft.zem"}, {"applies", "applies"}, "applies", 0, 0},
        {{"first.zem", "madefororig.zem"}, {"applies", "asks"}, "asks", 2, 2},
        // Answered y, the first step leaves a validation block neither was made for.
        {{"madeforleft.zem", "first.zem"}, {"asks", "asks"}, "asks", 1, 2},
        {{"first.zem", "first.zem"}, {"applies", "applied"}, "applied", 2, 3},
        // A damaged patch changes nothing: the next one meets the image without it.
        {{"first.zem", "damaged.zem", "madeforleft.zem"}, {"applies", "damaged", "applies"}, "damaged", 2, 1},
        {{"madefororig.zem"}, {"applies"}, "applies", 0, 0},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args;
        for (const std::string &p : c.patches) args.push_back(path(p));
        args.push_back(c.decides % 2 ? "-I" : "--image=" + path("i.bin"));
        if (c.decides % 2) args.push_back(path("i.bin"));
        SCOPED_TRACE(::testing::PrintToString(args));
        int status;
        json j = info(args, status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(j["verdict"], c.stack);
        EXPECT_EQ(j["deciding_step"], c.decides ? json(c.decides) : json(nullptr));
        ASSERT_EQ(j["steps"].size(), c.verdicts.size());
        for (size_t k = 0; k < c.verdicts.size(); k++) EXPECT_EQ(j["steps"][k]["verdict"], c.verdicts[k]) << k;
        args.erase(args.begin());   // and in words: the same verdicts
        args.insert(args.begin(), path(c.patches[0]));
        const std::string words = runprog(ZEMINFO, args).out;
        EXPECT_NE(words.find("\nStep " + std::to_string(c.verdicts.size()) + " "), std::string::npos) << words;
        EXPECT_NE(words.find(c.decides ? "\nStack          : step " + std::to_string(c.decides) + " decides: "
                                       : "\nStack          : every step applies cleanly"),
                  std::string::npos)
            << words;
    }
    int status;
    EXPECT_EQ(info({path("first.zem"), "--image", path("i.bin"), "--hash"}, status)["verdict"], "error");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(info({"--image", path("i.bin")}, status)["verdict"], "error");
    EXPECT_EQ(status, 1);
}

// The bytes of earlier steps each step writes over, counted against a model
// of who wrote each byte last, on random stacks of overlapping patches.
TEST_F(ZemInfo, StackCountsOverwrittenBytesExactly)
{
    std::mt19937 rng(31);
    auto rnd = [&rng](int n) { return int(rng() % unsigned(n)); };
    const int imagelen = 20000;
    writefile(path("i.bin"), makeimage(imagelen, 3));
    for (int trial = 0; trial < 30; trial++) {
        const int npatches = 1 + rnd(4);
        std::vector<int> owner(imagelen + 300, -1);   // the step that wrote each byte last
        std::vector<std::string> args;
        std::vector<std::vector<std::array<int64_t, 3>>> expected;   // step, bytes, runs
        std::vector<std::vector<std::vector<int64_t>>> firstruns;
        for (int k = 0; k < npatches; k++) {
            // Records in any order, overlapping one another and the earlier patches'.
            bytes p = zemheader(0);
            std::vector<char> writes(owner.size(), 0);
            for (int r = rnd(12); r >= 0; r--) {
                const int pos = rnd(4) ? 1000 + rnd(3000) : rnd(imagelen);
                bytes data(size_t(rnd(256)));
                for (unsigned char &b : data) b = (unsigned char)rng();
                addrecord(p, pos, data);
                std::fill(writes.begin() + pos, writes.begin() + pos + long(data.size()), 1);
            }
            const bool cut = npatches > 1 && rnd(6) == 0;
            if (cut) p.push_back(9);   // a record cut short
            const std::string name = "s" + std::to_string(k) + ".zem";
            writefile(path(name), p);
            args.push_back(path(name));
            std::map<int, std::array<int64_t, 3>> by;
            std::map<int, std::vector<int64_t>> runs;
            for (size_t b = 0; b < owner.size() && !cut; b++) {   // a damaged patch writes nothing
                if (!writes[b] || owner[b] < 0) continue;
                std::array<int64_t, 3> &e = by[owner[b]];
                e[0] = owner[b] + 1;
                e[1]++;
                if (b == 0 || !writes[b - 1] || owner[b - 1] != owner[b]) {
                    if (e[2]++ < 5) runs[owner[b]].push_back(int64_t(b));
                }
            }
            expected.emplace_back();
            firstruns.emplace_back();
            for (auto &[o, e] : by) {
                expected.back().push_back(e);
                firstruns.back().push_back(runs[o]);
            }
            if (!cut)
                for (size_t b = 0; b < owner.size(); b++)
                    if (writes[b]) owner[b] = k;
        }
        args.push_back("--image");
        args.push_back(path("i.bin"));
        SCOPED_TRACE(trial);
        int status;
        json j = info(args, status);
        ASSERT_EQ(j["steps"].size(), size_t(npatches));
        for (int k = 0; k < npatches; k++) {
            const json &over = j["steps"][k]["overwrites"];
            ASSERT_EQ(over.size(), expected[k].size()) << over;
            int64_t total = 0;
            for (size_t i = 0; i < over.size(); i++) {
                EXPECT_EQ(over[i]["step"], expected[k][i][0]);
                EXPECT_EQ(over[i]["bytes"], expected[k][i][1]);
                EXPECT_EQ(over[i]["runs"], expected[k][i][2]);
                EXPECT_EQ(over[i]["first_runs"], json(firstruns[k][i]));
                total += expected[k][i][1];
            }
            EXPECT_EQ(j["steps"][k]["overwritten_bytes"], total);
        }
    }
}
