// zeminfo's walk over records out of image order, which sorts them by
// stretch of the image a batch at a time: records across the edges of
// stretches, a stretch fuller than a batch, a patch of several batches, each
// against a byte-by-byte model.
#include <algorithm>
#include <cstdlib>

#include "explain.hpp"
#include "patchbuilder.hpp"

namespace {

struct Rec {
    int32_t pos;
    bytes data;
};

TEST(Walk, RecordsOutOfOrderAgainstAModel)
{
    const int64_t edge = 64 * 2352;   // every stretch the walk may cut the image in starts at one
    const bytes image = makeimage(size_t(96 * edge + 1000), 5);
    uint32_t x = 7;
    auto rnd = [&x] { return (x = x * 1103515245u + 12345u) >> 8; };
    auto rec = [&](int64_t pos, size_t len, bool inplace) {
        Rec r{int32_t(pos), makeimage(len, rnd())};
        for (size_t i = 0; inplace && i < len && size_t(pos) + i < image.size(); i++) r.data[i] = image[size_t(pos) + i];
        return r;
    };
    auto shuffled = [&](std::vector<Rec> r) {
        for (size_t i = r.size(); i > 1; i--) std::swap(r[i - 1], r[rnd() % i]);
        return r;
    };

    std::vector<Rec> edges, full, many;
    for (int64_t e = edge; e < int64_t(image.size()) + edge; e += edge) {
        edges.push_back(rec(e - 3, 7, e % (2 * edge) == 0));     // in place or not, across it
        edges.push_back(rec(e - 1 - rnd() % 200, 255, false));   // overlapping that one
        edges.push_back(rec(e - 2, 4, rnd() % 2));
    }
    for (int i = 0; i < 40000; i++) full.push_back(rec(40 * edge + rnd() % edge, 255, i % 50 == 0));
    for (int i = 0; i < 3000; i++) full.push_back(rec(rnd() % image.size(), 1 + rnd() % 64, false));
    for (int i = 0; i < 400000; i++) many.push_back(rec(rnd() % (image.size() + 500), 1 + rnd() % 64, i % 3 == 0));
    struct Row {
        const char *what;
        std::vector<Rec> recs;
    } rows[] = {
        {"across the edges of stretches", shuffled(edges)},
        {"one stretch fuller than a batch, beside others", shuffled(full)},
        {"more than a batch in all", many},
    };

    char tmpl[] = "/tmp/walktest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    writefile(dir + "/i.bin", image);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        /* The model: every byte's last value, and the records in place */
        std::vector<int> last(image.size() + size_t(edge) + 1000, -1);
        std::vector<bool> sectors(last.size() / 2352 + 1);
        int64_t inplace = 0, written = 0, tochange = 0, nsectors = 0;
        bytes patch = zemheader(0);
        for (const Rec &r : row.recs) {
            addrecord(patch, r.pos, r.data);
            bool held = true;
            for (size_t i = 0; i < r.data.size(); i++) {
                size_t at = size_t(r.pos) + i;
                written += last[at] < 0;
                last[at] = r.data[i];
                nsectors += !sectors[at / 2352];
                sectors[at / 2352] = true;
                held = held && at < image.size() && image[at] == r.data[i];
            }
            inplace += held;
        }
        for (size_t at = 0; at < last.size(); at++) tochange += last[at] >= 0 && (at >= image.size() || image[at] != last[at]);

        writefile(dir + "/p.zem", patch);
        Input p, i;
        std::string error;
        ASSERT_TRUE(openinput((dir + "/p.zem").c_str(), p, error)) << error;
        ASSERT_TRUE(openinput((dir + "/i.bin").c_str(), i, error)) << error;
        static PatchFacts pf;
        static ImageFacts imf;
        pf = PatchFacts();
        imf = ImageFacts();
        imf.examined = true;
        EXPECT_TRUE(readlayout(p, pf, error) && walkrecords(p, &i, pf, &imf, error)) << error;
        closeinput(p);
        closeinput(i);
        EXPECT_FALSE(pf.inorder);
        EXPECT_EQ(pf.records, int64_t(row.recs.size()));
        EXPECT_EQ(pf.byteswritten, written);
        EXPECT_EQ(pf.sectors, nsectors);
        EXPECT_EQ(imf.tochange, tochange);
        EXPECT_EQ(imf.inplace, inplace);
        EXPECT_EQ(imf.wholesectors, std::count(sectors.begin(), sectors.begin() + long(image.size() / 2352), true));
    }
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

} // namespace
