// Times libzem's view on one image and patch against reading the image
// itself: the whole of it in 64 KiB reads (median of RUNS), random
// 2,352-byte sector reads (median over 20,000 of each), the opening, and the
// record index's bytes a record. Usage: viewbench IMAGE PATCH RUNS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "zem.h"
#include "zemindex.hpp"
#include "zemreader.hpp"

using clk = std::chrono::steady_clock;

static double since(clk::time_point t)
{
    return std::chrono::duration<double>(clk::now() - t).count();
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: viewbench IMAGE PATCH RUNS\n");
        return 2;
    }
    int runs = std::atoi(argv[3]);
    const char *patches[] = {argv[2]};
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) return 1;
    static unsigned char buf[65536];
    volatile unsigned sink = 0;

    std::vector<double> opens, plain, view;
    zem_view *v = nullptr;
    for (int r = 0; r < runs; r++) {
        if (v) zem_view_close(v);
        int error;
        clk::time_point t = clk::now();
        v = zem_view_open(argv[1], patches, 1, ZEM_ANYIMAGE, &error);
        opens.push_back(since(t));
        if (!v) {
            std::fprintf(stderr, "viewbench: %s\n", zem_strerror(error));
            return 1;
        }
    }
    int64_t size = zem_view_size(v);
    struct stat st;
    fstat(fd, &st);
    for (int r = 0; r < runs; r++) {
        clk::time_point t = clk::now();
        for (int64_t at = 0; at < st.st_size; at += sizeof buf) sink += unsigned(pread(fd, buf, sizeof buf, at));
        plain.push_back(since(t));
        t = clk::now();
        for (int64_t at = 0; at < size; at += sizeof buf) sink += unsigned(zem_view_read(v, buf, sizeof buf, at));
        view.push_back(since(t));
    }
    std::mt19937_64 rnd(1);
    int64_t sectors = std::min(int64_t(st.st_size), size) / 2352;
    std::vector<double> sp, sv;
    for (int i = 0; i < 20000; i++) {
        int64_t at = int64_t(rnd() % uint64_t(sectors)) * 2352;
        clk::time_point t = clk::now();
        sink += unsigned(pread(fd, buf, 2352, at));
        sp.push_back(since(t) * 1e6);
        t = clk::now();
        sink += unsigned(zem_view_read(v, buf, 2352, at));
        sv.push_back(since(t) * 1e6);
    }
    zem_view_close(v);

    // The index alone, as the view builds it.
    int pfd = open(argv[2], O_RDONLY);
    struct stat pst;
    fstat(pfd, &pst);
    unsigned char head[zem::v2headerlen] = {0}, tail[zem::diztagfromend] = {0};
    long got = zem::readat(pfd, head, sizeof head, 0);
    zem::readat(pfd, tail, sizeof tail, pst.st_size - zem::diztagfromend);
    zem::Area area = zem::recordsarea(zem::identify(head, got), zem::findtrailer(tail, pst.st_size), pst.st_size);
    zem::RecordIndex index;
    zem::flaw damage;
    index.addpatch(pfd, 0, area, damage);
    size_t records = index.pieces().size();
    index.finish();

    std::printf("open %.3f s\nwhole image %.3f s, view %.3f s (%.2fx)\n"
                "sector pread %.2f us, view %.2f us (+%.2f us)\n"
                "index %zu bytes for %zu records: %.1f bytes a record\n",
                median(opens), median(plain), median(view), median(view) / median(plain),
                median(sp), median(sv), median(sv) - median(sp), index.bytes(), records,
                double(index.bytes()) / double(records));
    return sink == 1234567 ? 3 : 0;
}
