// What this machine costs for the ways of writing an image, measured on a
// scratch file in DIR (removed afterwards) and printed on one line:
// - the first write to each page of a shared mapping of a file in the page
//   cache (the fault, and the page made dirty);
// - a small pwrite into such a file, at random places;
// - a sequential read of a file not in the page cache, 1 MiB at a time
//   (after fsync and POSIX_FADV_DONTNEED), in MB/s;
// - the read-ahead of the device that holds DIR, and whether transparent
//   huge pages are on.
// The first two are medians of short rounds taken in turns.
// Usage: machinecost DIR [MIB]   (MIB: the scratch file's size, default 256, at least 64)
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The processor time of this thread, the kernel's included: what a way
// costs where nothing waits for the disk, whatever else the machine runs.
double cpu()
{
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "machinecost: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

unsigned char buf[1 << 20];

void fill(int fd, int64_t size)
{
    for (int64_t at = 0; at < size; at += sizeof buf) {
        for (size_t i = 0; i < sizeof buf; i += 4096) buf[i] = (unsigned char)(at >> 12) ^ (unsigned char)i;
        if (pwrite(fd, buf, sizeof buf, off_t(at)) != ssize_t(sizeof buf)) fail("cannot write the scratch file");
    }
    if (fsync(fd) != 0) fail("cannot flush the scratch file");
}

// The first line of a file, or "?".
std::string firstline(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f) return "?";
    char line[256] = "?";
    if (!std::fgets(line, sizeof line, f)) std::strcpy(line, "?");
    std::fclose(f);
    line[std::strcspn(line, "\n")] = 0;
    return line;
}

// The read-ahead of the block device that holds the file: its own queue, or
// that of the disk it is a partition of.
std::string readahead(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return "?";
    std::string dev = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::string kb = firstline(dev + "/queue/read_ahead_kb");
    if (kb == "?") kb = firstline(dev + "/../queue/read_ahead_kb");
    char name[256];
    ssize_t n = readlink(dev.c_str(), name, sizeof name - 1);
    std::string who = "?";
    if (n > 0) {
        name[n] = 0;
        const char *slash = std::strrchr(name, '/');
        who = slash ? slash + 1 : name;
    }
    return kb == "?" ? "unknown (" + who + ")" : kb + " KiB (" + who + ")";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: machinecost DIR [MIB]\n");
        return 2;
    }
    int64_t size = int64_t(argc == 3 ? std::atol(argv[2]) : 256) << 20;
    if (size < (64 << 20)) size = 64 << 20;
    std::string path = std::string(argv[1]) + "/machinecost.tmp";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail("cannot create the scratch file");
    unlink(path.c_str());
    fill(fd, size);

    /* First write to each page of a shared mapping, the file in the page
       cache, and small pwrites at random places of it, in turns, in
       processor time: rounds of
       2 MiB of pages and of 1,000 writes, the median of each (a round now
       and then waits for the journal or writeback, which is not the cost of
       the way itself) */
    const int rounds = 24, nwrites = 1000;
    const int64_t maplen = 2 << 20;
    long page = sysconf(_SC_PAGESIZE);
    double faults[rounds], writes[rounds], t;
    uint64_t x = 0x9e3779b97f4a7c15u;
    for (int round = 0; round < rounds; round++) {
        void *p = mmap(nullptr, size_t(maplen), PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(maplen) * round);
        if (p == MAP_FAILED) fail("cannot map the scratch file");
        volatile unsigned char *m = static_cast<unsigned char *>(p);
        t = cpu();
        for (int64_t at = 0; at < maplen; at += page) m[at + 7] = 1;
        faults[round] = (cpu() - t) / double(maplen / page);
        munmap(p, size_t(maplen));
        t = cpu();
        for (int i = 0; i < nwrites; i++) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            off_t at = off_t(maplen * rounds + int64_t(x % uint64_t(size - maplen * rounds - 16)));
            if (pwrite(fd, buf, 16, at) != 16) fail("cannot write the scratch file");
        }
        writes[round] = (cpu() - t) / nwrites;
    }
    std::sort(faults, faults + rounds);
    std::sort(writes, writes + rounds);
    double fault = faults[rounds / 2], small = writes[rounds / 2];

    /* A sequential read of the file out of the page cache */
    if (fsync(fd) != 0) fail("cannot flush the scratch file");
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    t = now();
    for (int64_t at = 0; at < size;) {
        ssize_t n = pread(fd, buf, sizeof buf, off_t(at));
        if (n <= 0) fail("cannot read the scratch file");
        at += n;
    }
    double seq = double(size) / (now() - t) / 1e6;

    std::string ra = readahead(fd);
    close(fd);
    std::printf("machine costs (processor time): first write to a page of a shared mapping %.2f us; pwrite of 16 bytes "
                "at random %.2f us; cold sequential read %.0f MB/s (%lld MiB, 1 MiB reads); read-ahead %s; "
                "transparent huge pages %s\n",
                fault * 1e6, small * 1e6, seq, (long long)(size >> 20), ra.c_str(),
                firstline("/sys/kernel/mm/transparent_hugepage/enabled").c_str());
    return 0;
}
