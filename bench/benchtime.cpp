// Runs a program and appends its wall time and peak resident memory to a file.
// Usage: benchtime RESULTFILE PROGRAM [ARG...]
// Writes "SECONDS MAXRSS_KIB STATUS" as one line. Linked statically and kept
// tiny: the child's peak memory includes what this process held when it forked.
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: benchtime RESULTFILE PROGRAM [ARG...]\n");
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
        execvp(argv[2], argv + 2);
        std::perror("benchtime: exec");
        _exit(127);
    }
    int status = 0;
    rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) {
        std::perror("benchtime: wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &stop);
    double seconds = double(stop.tv_sec - start.tv_sec) + double(stop.tv_nsec - start.tv_nsec) / 1e9;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    FILE *out = std::fopen(argv[1], "a");
    if (!out) {
        std::perror(argv[1]);
        return 2;
    }
    std::fprintf(out, "%.6f %ld %d\n", seconds, ru.ru_maxrss, code);
    std::fclose(out);
    return code;
}
