// How Mavrin opens its two files.
#include "zemopen.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zem {

namespace {

// Whether two open files are one: one inode, or one block device by two names.
bool samefile(const struct stat &a, const struct stat &b)
{
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

// Opened without waiting, and kept only when it holds its bytes at fixed
// offsets.
int openfixed(const char *path, int flags, struct stat &st, int &err, mode_t &mode)
{
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    err = 0;
    mode = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        mode = st.st_mode;
    } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        return fd;
    } else {
        err = errno;
    }
    close(fd);
    return -1;
}

openoutcome openpair(const char *imagepath, const char *patchpath, OpenPair &p)
{
    struct stat imagest, patchst;
    p = {-1, -1, 0, 0};
    int imagefd = openfixed(imagepath, O_RDWR, imagest, p.err, p.mode);
    if (imagefd < 0) return imagerefused;
    int patchfd = openfixed(patchpath, O_RDONLY, patchst, p.err, p.mode);
    if (patchfd < 0) {
        close(imagefd);
        return patchrefused;
    }
    if (samefile(imagest, patchst)) {
        close(patchfd);
        close(imagefd);
        return samefiles;
    }
    p.imagefd = imagefd;
    p.patchfd = patchfd;
    return openedboth;
}

} // namespace zem
