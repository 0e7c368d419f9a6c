// Runs a program and appends its wall time and memory to a file.
// Usage: benchtime [-c FILE]... RESULTFILE PROGRAM [ARG...]
// -c FILE: first flush FILE to disk and drop it from the page cache, so that
// the program finds it "cold", as after a reboot.
// Writes "SECONDS MAXRSS_KIB STATUS RSSANON_KIB" as one line: the peak
// resident memory (mapped file pages included) and the private memory
// (RssAnon: heap, stack, anonymous mappings) as the program ends. Linked
// statically and kept tiny: the child's peak memory includes what this
// process held when it forked.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The child's RssAnon in KiB from /proc, or -1.
static long rssanon(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE *f = std::fopen(path, "r");
    if (!f) return -1;
    long kib = -1;
    char line[256];
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "RssAnon: %ld", &kib) == 1) break;
    std::fclose(f);
    return kib;
}

// Writes FILE's dirty pages to disk, then drops all its pages from the cache.
static bool dropcache(const char *path)
{
    int fd = open(path, O_RDONLY);
    bool ok = fd >= 0 && fsync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

int main(int argc, char **argv)
{
    while (argc > 2 && std::strcmp(argv[1], "-c") == 0) {
        if (!dropcache(argv[2])) {
            std::perror(argv[2]);
            return 2;
        }
        argc -= 2;
        argv += 2;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: benchtime [-c FILE]... RESULTFILE PROGRAM [ARG...]\n");
        return 2;
    }
    timespec start, stop;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("benchtime: fork");
        return 2;
    }
    if (pid == 0) {
        // Traced, so that it stops once more as it exits, while its memory
        // can still be read; nothing else is traced.
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execvp(argv[2], argv + 2);
        std::perror("benchtime: exec");
        _exit(127);
    }
    int status = 0;
    long anon = -1;
    rusage ru;
    for (;;) {
        if (wait4(pid, &status, 0, &ru) != pid) {
            std::perror("benchtime: wait4");
            return 2;
        }
        if (!WIFSTOPPED(status)) break;
        int sig = WSTOPSIG(status);
        if (status >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8)) {
            anon = rssanon(pid);
            sig = 0;
        } else if (sig == SIGSTOP && anon == -1) {
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
            anon = -2;   // set up; the next stops are exec's and the program's own
            sig = 0;
        } else if (sig == SIGTRAP) {
            sig = 0;     // the stop after exec
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(long(sig)));
    }
    clock_gettime(CLOCK_MONOTONIC, &stop);
    double seconds = double(stop.tv_sec - start.tv_sec) + double(stop.tv_nsec - start.tv_nsec) / 1e9;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    FILE *out = std::fopen(argv[1], "a");
    if (!out) {
        std::perror(argv[1]);
        return 2;
    }
    std::fprintf(out, "%.6f %ld %d %ld\n", seconds, ru.ru_maxrss, code, anon);
    std::fclose(out);
    return code;
}
