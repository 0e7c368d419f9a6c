// Every program that reads patches (Mavrin, zemmake -u, zeminfo) gives the
// same verdict on every patch:
// not a patch, damaged, or sound. Run in process over the fuzz seeds and
// thousands of mutations of them.
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "patchbuilder.hpp"
#include "runstate.hpp"
#include "zeminfo.hpp"
#include "zemmake.hpp"

namespace {

enum verdict { notpatch, damagedpatch, soundpatch, unclear };
const char *const verdictname[] = {"not a patch", "damaged", "sound", "unclear"};

class Agreement : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        // tmpfs when there is one: zemmake syncs every patch it writes.
        char shm[] = "/dev/shm/mavrinagree.XXXXXX", tmp[] = "/tmp/mavrinagree.XXXXXX";
        const char *d = mkdtemp(shm);
        if (!d) d = mkdtemp(tmp);
        ASSERT_NE(d, nullptr);
        dir = d;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
    std::string path(const char *name) const { return dir + "/" + name; }

    verdict mavrin(const bytes &patch)
    {
        static RunState rs;
        writefile(path("image.bin"), makeimage(40000));
        writefile(path("patch.zem"), patch);
        std::string img = path("image.bin"), zem = path("patch.zem");
        char prog[] = "Mavrin";
        char *argv[] = {prog, img.data(), zem.data(), nullptr};
        Captured c = inprocess("yy", [&] {
            std::memset(&rs, 0, sizeof rs);
            mavrinrun(rs, 3, argv);
        });
        auto has = [&](const char *s) { return c.out.find(s) != std::string::npos; };
        if (has("if *NO* ZEM file") || has("Unknown Encodingmethod")) return notpatch;
        if (has("ERROR: damaged ZEM file")) return damagedpatch;
        if (has("DONE..")) return soundpatch;
        return unclear;
    }

    verdict zemmakeundo(const bytes &patch)
    {
        writefile(path("image.bin"), makeimage(40000));
        writefile(path("patch.zem"), patch);
        std::vector<std::string> words = {"zemmake", "-u", "-f", path("image.bin"),
                                          path("patch.zem"), path("undo.zem")};
        std::vector<char *> argv;
        for (auto &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int status = -1;
        Captured c = inprocess("", [&] { status = zemmakemain(int(words.size()), argv.data()); });
        auto has = [&](const char *s) { return c.err.find(s) != std::string::npos; };
        // An image that already holds what a sound patch writes gets no undo.
        if (status == 0 || (status == 1 && has("already holds what"))) return soundpatch;
        if (has("is not a ZEM patch") || has("encoding method")) return notpatch;
        if (has("is damaged")) return damagedpatch;
        return unclear;
    }

    verdict zeminfo(const bytes &patch)
    {
        writefile(path("image.bin"), makeimage(40000));
        writefile(path("patch.zem"), patch);
        std::vector<std::string> words = {"zeminfo", "--json", path("patch.zem"), path("image.bin")};
        std::vector<char *> argv;
        for (auto &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int status = -1;
        Captured c = inprocess("", [&] { status = zeminfomain(int(words.size()), argv.data()); });
        nlohmann::json j = nlohmann::json::parse(c.out, nullptr, false);
        if (!j.is_object() || !c.err.empty()) return unclear;
        std::string v = j.value("verdict", ""), error = j.value("error", "");
        if (status == 1 && v == "error" &&
            (error.find("is not a ZEM patch") != std::string::npos || error.find("encoding method") != std::string::npos))
            return notpatch;
        if (status == 1 && v == "damaged" && j["patch"]["damaged"] == true) return damagedpatch;
        if ((status == 0 && v == "applies") || (status == 2 && v == "asks") || (status == 3 && v == "applied") ||
            ((status == 0 || status == 2) && v == "partly"))
            return soundpatch;
        return unclear;
    }
};

// The patches of the fuzz seed corpus, without the bytes that choose the image.
std::vector<bytes> seeds()
{
    std::vector<bytes> all;
    DIR *d = opendir(ZEM_CORPUS);
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.') continue;
        bytes b = readfile(std::string(ZEM_CORPUS) + "/" + e->d_name);
        if (b.size() >= 7) all.push_back(bytes(b.begin() + 7, b.end()));
    }
    if (d) closedir(d);
    std::sort(all.begin(), all.end());
    return all;
}

} // namespace

TEST_F(Agreement, MavrinUndoAndInfoJudgeEveryPatchAlike)
{
    std::vector<std::pair<std::string, bytes>> cases;
    const std::vector<bytes> base = seeds();
    ASSERT_GE(base.size(), 10u) << "seed corpus not found in " << ZEM_CORPUS;
    for (const bytes &p : base) cases.push_back({"seed", p});

    // A negative trailer length whose records still fill the file to its end.
    bytes p = zemheader(1);
    addcheck(p, 40000, makeimage(40000));
    bytes trailer;
    adddiz(trailer, "text-------", -38);
    addrecord(p, 5, bytes(trailer.begin(), trailer.end()));
    cases.push_back({"negative trailer length, records to the end", p});

    // Every truncation of the largest seed and of a small version 1.0 one.
    const bytes &big = *std::max_element(base.begin(), base.end(),
                                         [](const bytes &a, const bytes &b) { return a.size() < b.size(); });
    bytes v1 = zemheader(0);
    addrecord(v1, 3, {1, 2, 3});
    addrecord(v1, 70000, {});
    addrecord(v1, 9, {4});
    for (const bytes *whole : {&big, static_cast<const bytes *>(&v1)})
        for (size_t n = 0; n < whole->size(); n++)
            cases.push_back({"truncated to " + std::to_string(n), bytes(whole->begin(), whole->begin() + long(n))});

    // Trailer lengths around every value that fits the file.
    bytes withdiz = p;
    for (const bytes &s : base)
        if (s.size() >= 8 && std::memcmp(s.data() + s.size() - 8, ".DIZ", 4) == 0) withdiz = s;
    for (int32_t len = -40; len <= int32_t(withdiz.size()) + 40; len++) {
        bytes q = withdiz;
        for (int i = 0; i < 4; i++) q[q.size() - 4 + size_t(i)] = (unsigned char)(uint32_t(len) >> (8 * i));
        cases.push_back({"trailer length " + std::to_string(len), q});
    }

    // Bytes set at random near the end of each seed, where records and trailer lie.
    uint32_t x = 12345;
    auto rnd = [&x] { return (x = x * 1103515245u + 12345u) >> 8; };
    for (const bytes &s : base) {
        for (int round = 0; round < 200 && !s.empty(); round++) {
            bytes q = s;
            for (int flips = 1 + int(rnd() % 3); flips > 0; flips--) {
                size_t span = std::min<size_t>(q.size(), 160);
                q[q.size() - 1 - rnd() % span] = (unsigned char)rnd();
            }
            cases.push_back({"bytes set at random, round " + std::to_string(round), q});
        }
    }

    int counts[4] = {0, 0, 0, 0};
    for (const auto &c : cases) {
        verdict m = mavrin(c.second);
        verdict z = zemmakeundo(c.second);
        verdict i = zeminfo(c.second);
        counts[m]++;
        ASSERT_NE(m, unclear) << c.first;
        ASSERT_EQ(std::string(verdictname[m]), verdictname[z]) << c.first << ", " << c.second.size() << " bytes";
        ASSERT_EQ(std::string(verdictname[m]), verdictname[i]) << c.first << ", " << c.second.size() << " bytes";
    }
    // The mutations reach every verdict.
    EXPECT_GT(counts[notpatch], 0);
    EXPECT_GT(counts[damagedpatch], 100);
    EXPECT_GT(counts[soundpatch], 100);
}
