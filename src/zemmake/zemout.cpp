// zemmake: writing the patch through a temporary file that is renamed into place.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool.hpp"
#include "zemmake.hpp"

bool fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    tool::progressclear();
    fprintf(stderr, "zemmake: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
    return false;
}

int openinput(const char *path, int64_t &size)
{
    // Without waiting: a FIFO with no writer would block the open itself.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        fail("cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        fail("%s is not a regular file", path);
        close(fd);
        return -1;
    }
    size = st.st_size;
    return fd;
}

bool openinputs(const char *path1, int &fd1, int64_t &size1, const char *path2, int &fd2,
                int64_t &size2)
{
    fd1 = openinput(path1, size1);
    if (fd1 < 0) return false;
    fd2 = openinput(path2, size2);
    if (fd2 < 0) {
        close(fd1);
        return false;
    }
    return true;
}

bool fitsoffsets(const char *path, int64_t size)
{
    if (size < zem::imagelimit) return true;
    return fail("%s is 2 GiB or larger; ZEM offsets stop below 2 GiB", path);
}

bool openimagein(const char *path, disc::Image &img, const char *target, const char *exclude,
                 const char *excludename)
{
    struct stat ex;
    const bool excluding = exclude && stat(exclude, &ex) == 0;
    disc::ImageError err;
    if (!disc::openimage(img, path, false, excluding ? &ex : nullptr, excludename, err))
        return fail("%s", tool::imageerror(path, err).c_str());
    // The patch is renamed over the target: never over one of the image's files.
    struct stat st;
    if (img.cue && stat(target, &st) == 0 && disc::findfile(img, st) >= 0) {
        disc::closeimage(img);
        return fail("%s is also an input, a track file of %s; choose another output file", target, path);
    }
    if (!fitsoffsets(path, img.size)) {
        disc::closeimage(img);
        return false;
    }
    return true;
}

bool readfailed(const disc::Image &img, int failedfile, int err)
{
    const int i = failedfile >= 0 && failedfile < img.nfiles ? failedfile : img.nfiles - 1;
    return fail("reading %s failed: %s", img.files[i].path,
                err > 0 ? strerror(err) : "it became shorter while zemmake read it");
}

// The temporary file's name, for the signal handler to remove it.
static char tmppath[PATH_MAX];
static volatile sig_atomic_t tmplive;

static void cleanup(int sig)
{
    if (tmplive) unlink(tmppath);
    signal(sig, SIG_DFL);
    raise(sig);   // delivered once the handler returns: we die of it as before
}

// Every signal whose default action ends the process and that can be caught.
// SIGXFSZ is not among them: main ignores it, so that a write fails instead.
static const int fatalsignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,
    SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

void catchsignals()
{
    struct sigaction sa = {};
    sa.sa_handler = cleanup;
    sigemptyset(&sa.sa_mask);
    for (int sig : fatalsignals) sigaddset(&sa.sa_mask, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) sigaddset(&sa.sa_mask, sig);
    auto catchone = [&sa](int sig) {
        // A signal ignored by whoever started us (nohup) stays ignored, and
        // a handler already there (a sanitizer's) stays in charge.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
            old.sa_handler == SIG_DFL)
            sigaction(sig, &sa, nullptr);
    };
    for (int sig : fatalsignals) catchone(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) catchone(sig);
}

static bool samefile(const struct stat &a, const char *path)
{
    struct stat b;
    return path && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool checktarget(const char *target, bool force, const char *input1, const char *input2,
                 const char *input3)
{
    struct stat st;
    if (lstat(target, &st) != 0) return true;
    struct stat real;   // what a link points at
    if (stat(target, &real) == 0 &&
        (samefile(real, input1) || samefile(real, input2) || samefile(real, input3)))
        return fail("%s is also an input; choose another output file", target);
    if (!force) return fail("%s exists; use -f to overwrite it", target);
    if (S_ISDIR(st.st_mode)) return fail("%s is a directory", target);
    return true;
}

// Sets tmppath to a name for the temporary file in the target's folder: the
// target's name and a random suffix, the name cut short where the suffix
// would make it too long for the folder's file system.
static bool maketmpname(const char *target)
{
    const char suffix[] = ".XXXXXX";
    const long suffixlen = long(sizeof suffix - 1);
    const char *slash = strrchr(target, '/');
    const long dirlen = slash ? long(slash - target) + 1 : 0;
    const long namelen = long(strlen(target)) - dirlen;
    std::string dir = slash ? std::string(target, size_t(dirlen)) : std::string(".");
    long namemax = pathconf(dir.c_str(), _PC_NAME_MAX);
    if (namemax <= 0) namemax = NAME_MAX;
    long keep = std::min(namelen, namemax - suffixlen);
    keep = std::min(keep, long(sizeof tmppath) - 1 - dirlen - suffixlen);
    if (keep < 0) return fail("%s: file name too long", target);
    snprintf(tmppath, sizeof tmppath, "%.*s%.*s%s", int(dirlen), target, int(keep),
             target + dirlen, suffix);
    return true;
}

static unsigned char outbuf[outbuflen];

bool outopen(PatchOut &out, const char *target)
{
    out = PatchOut{};
    out.target = target;
    out.fd = -1;
    if (!maketmpname(target)) return false;

    /* No signal between the file's creation and the handler knowing of it */
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    int fd = mkstemp(tmppath);
    int err = errno;
    if (fd >= 0) tmplive = 1;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0)
        return fail("cannot create a temporary file beside %s: %s", target, strerror(err));
    // mkstemp makes the file private; a patch gets the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH) & ~mask);
    out.fd = fd;
    return true;
}

// Writes len bytes at p to the file.
static bool writeall(PatchOut &out, const unsigned char *p, size_t len)
{
    for (size_t done = 0; done < len;) {
        ssize_t n = write(out.fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("writing %s failed: %s", out.target, strerror(n < 0 ? errno : EIO));
        done += size_t(n);
    }

    /* Keep the last bytes, to see whether a trailer tag would be found there */
    const size_t keep = sizeof out.tail;
    if (len >= keep) {
        memcpy(out.tail, p + len - keep, keep);
    } else {
        memmove(out.tail, out.tail + len, keep - len);
        memcpy(out.tail + keep - len, p, len);
    }
    return true;
}

bool outflush(PatchOut &out)
{
    if (!writeall(out, outbuf, size_t(out.buflen))) return false;
    out.buflen = 0;
    // Start the writeback of what is written now, so that the sync at the
    // end waits for the last few megabytes only.
    if (out.size - out.started >= writebackstep) {
        sync_file_range(out.fd, out.started, out.size - out.started, SYNC_FILE_RANGE_WRITE);
        out.started = out.size;
    }
    return true;
}

bool outwrite(PatchOut &out, const void *data, size_t len)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    if (out.buflen + long(len) > outbuflen && !outflush(out)) return false;
    out.size += int64_t(len);
    if (long(len) > outbuflen) return writeall(out, p, len);
    if (len > 0) memcpy(outbuf + out.buflen, p, len);
    out.buflen += long(len);
    return true;
}

bool outrecord(PatchOut &out, int64_t pos, const unsigned char *data, long len)
{
    if (pos < 0 || pos > INT32_MAX || len < 0 || len > zem::recmaxdata)
        return fail("internal error: record at %lld of %ld bytes", (long long)pos, len);
    if (out.buflen + zem::recheadlen + len > outbuflen && !outflush(out)) return false;
    unsigned char *head = outbuf + out.buflen;
    zem::putle32(head, int32_t(pos));
    head[zem::recposlen] = (unsigned char)len;
    memcpy(head + zem::recheadlen, data, size_t(len));
    out.buflen += zem::recheadlen + len;
    out.size += zem::recheadlen + len;
    out.records++;
    out.databytes += len;
    return true;
}

bool outheader(PatchOut &out, int method, const std::string &desc)
{
    unsigned char head[zem::v1headerlen] = {};
    memcpy(head + zem::magicpos, zem::magictext, zem::magiclen);
    head[zem::methodpos] = (unsigned char)method;
    memcpy(head + zem::descpos, desc.data(), desc.size());   // checked to fit, zero-padded
    return outwrite(out, head, sizeof head);
}

void outabort(PatchOut &out)
{
    if (out.fd >= 0) close(out.fd);
    out.fd = -1;
    if (tmplive) unlink(tmppath);
    tmplive = 0;
}

bool outclose(PatchOut &out)
{
    /* Everything on disk before the name points at it */
    int err = 0;
    if (!outflush(out)) {
        outabort(out);
        return false;
    }
    if (fsync(out.fd) != 0) err = errno;
    if (close(out.fd) != 0 && err == 0) err = errno;
    out.fd = -1;
    if (err != 0) {
        outabort(out);
        return fail("writing %s failed: %s", out.target, strerror(err));
    }
    return true;
}

bool outplace(PatchOut &out, bool force)
{
    /* Into place: link() never replaces an existing file, rename() does */
    int err = 0;
    if (!force) {
        if (link(tmppath, out.target) == 0) {
            outabort(out);   // drops the temporary name
            return true;
        }
        err = errno;
        struct stat st;
        if (err == EEXIST || lstat(out.target, &st) == 0) {
            outabort(out);
            return fail("%s exists; use -f to overwrite it", out.target);
        }
        // A file system without hard links: rename, having seen no file there.
    }
    if (rename(tmppath, out.target) != 0) {
        err = errno;
        outabort(out);
        return fail("cannot write %s: %s", out.target, strerror(err));
    }
    tmplive = 0;
    return true;
}
