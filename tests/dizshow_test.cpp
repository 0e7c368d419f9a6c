// FILE_ID.DIZ trailer: found by its tag, its text shown, left out of the records.
#include "patchbuilder.hpp"

namespace {
// A version 2.0 patch for img with one record, ready for a trailer.
bytes patchfor(const bytes &img)
{
    bytes p = zemheader(1, "diz");
    addcheck(p, int32_t(img.size()), img);
    addrecord(p, 5, {0x11, 0x22, 0x33});
    return p;
}
} // namespace

BOTH_BUILDS(Diz);

TEST_P(Diz, TrailerTextShownAndNeverWritten)
{
    const bytes img = makeimage(40000);
    bytes patch = patchfor(img);
    adddiz(patch, "  Some Game (fix)\r\n  line two\n\tend");
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) +
                         "  Some Game (fix)\r\n  line two\n\tend\n" + done);
    bytes want = img;
    putbytes(want, 5, {0x11, 0x22, 0x33});
    EXPECT_EQ(image(), want);
}

TEST_P(Diz, ShownTextPerStoredLength)
{
    const bytes img = makeimage(40000);
    const std::string big(4000, 'a');
    struct Case {
        const char *what;
        std::string stored;
        int32_t len;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"length 7: nothing left to show", "1234567", 7, ""},
        {"zero byte inside", std::string("abc\0def1234567", 14), 14, "abc"},
        {"lengths below 7 show nothing", "abc", 3, ""},
        {"length 0", "", 0, ""},
        {"the whole buffer", std::string(3072, 'b'), 3072, std::string(3065, 'b')},
        {"above the buffer, still shortened by 7", std::string(3075, 'c'), 3075,
         std::string(3068, 'c')},
        {"far above the buffer: what it holds", big, 4000, std::string(3072, 'a')},
    };
    for (const Case &c : cases) {
        bytes patch = patchfor(img);
        adddiz(patch, c.stored, c.len);
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) + c.shown + "\n" + done)
            << c.what;
        EXPECT_EQ(image()[5], 0x11) << c.what;
    }
}

TEST_P(Diz, LengthsThatDoNotFitTheFile)
{
    const bytes img = makeimage(40000);
    for (int32_t len : {-1, -5000, INT32_MIN, 100000, INT32_MAX}) {
        bytes patch = patchfor(img);
        adddiz(patch, "text-------", len);
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) + "\n" + damaged)
            << "length " << len;
        EXPECT_EQ(image(), img) << "length " << len;
    }
}

TEST_P(Diz, NegativeLengthIsDamagedEvenWhenRecordsFit)
{
    // A negative length moves the end of the records area into the trailer;
    // one record whose data runs up to that end would carry trailer bytes.
    const bytes img = makeimage(40000);
    for (int32_t len : {-1, -7, -20, -38}) {
        bytes trailer;
        adddiz(trailer, "text-------", len);
        const long tail = zem::dizfixedlen + len;   // trailer bytes behind the area's end
        bytes patch = zemheader(1, "diz");
        addcheck(patch, int32_t(img.size()), img);
        addrecord(patch, 5, bytes(trailer.begin(), trailer.end() - tail));
        patch.insert(patch.end(), trailer.end() - tail, trailer.end());
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) + "\n" + damaged)
            << "length " << len;
        EXPECT_EQ(image(), img) << "length " << len;
    }
}

TEST_P(Diz, TagMustMatchExactly)
{
    const bytes img = makeimage(40000);
    bytes patch = patchfor(img);
    adddiz(patch, "text");
    patch[patch.size() - 6] = 'i';   // ".DiZ"
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", nodiz) + damaged);
    EXPECT_EQ(image(), img);
}

TEST_P(Diz, Version1IsNeverExamined)
{
    // Records that happen to end in a trailer tag are still records.
    bytes patch = zemheader(0, "v1");
    addrecord(patch, 2, {'.', 'D', 'I', 'Z', 3, 0, 0, 0});
    bytes img = makeimage(16);
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "v1", nodiz) + done);
    putbytes(img, 2, {'.', 'D', 'I', 'Z', 3, 0, 0, 0});
    EXPECT_EQ(image(), img);
}

TEST_P(Diz, TooShortForATag)
{
    RunResult r = apply({}, {'Z', 'E', 'M', 0, 0, 1, 'x'});
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "x", nodiz) + damaged);
    EXPECT_EQ(image(), bytes{});
}
