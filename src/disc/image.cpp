// The image as one file or a cue sheet's track files: opening and checking
// them, and reads and writes at logical offsets.
#include "image.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>   // the web page's C library has no openat2: it walks
#define MAVRIN_OPENAT2 1
#endif
#include <new>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "zemreader.hpp"

namespace disc {

bool openat2missing = false;

namespace {

constexpr off_t cuetextmax = 1 << 20;   // far more than 99 tracks with CD-TEXT take

// Copies a path, cut short to fit if need be.
void copypath(char (&to)[pathmax], const char *from)
{
    size_t n = strnlen(from, pathmax - 1);
    memcpy(to, from, n);
    to[n] = 0;
}

void fail(ImageError &err, const char *path, const char *fmt, const char *arg = "")
{
    copypath(err.path, path);
    snprintf(err.reason, sizeof err.reason, fmt, arg);
}

// Clears O_NONBLOCK on fd, opened as openfile() opens a file, once its
// stat is known to be that of a regular file, or of a block device when
// blockok. Returns fd, or -1 with errno set (ENODEV for another kind) and fd
// closed.
int takeopened(int fd, struct stat &st, bool blockok)
{
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode) && !(blockok && S_ISBLK(st.st_mode)))
        err = ENODEV;
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        err = errno;
    if (err) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Opens path as openimage() takes a file: without waiting, then waiting
// again for its reads and writes. Returns the descriptor, or -1 with errno
// set (ENODEV for what is neither a regular file nor a block device).
int openfile(const char *path, bool forupdate, struct stat &st)
{
    int fd = open(path, (forupdate ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return fd < 0 ? -1 : takeopened(fd, st, true);
}

// Where the kernel lacks openat2, what it would do for the two ways
// openbeneath() asks: with RESOLVE_NO_SYMLINKS, no link anywhere on the way
// (O_PATH | O_NOFOLLOW gives the last part itself, link or not); else links
// followed, and the file reached refused (EXDEV) unless it lies in the
// folder dirpath. Names with ".." never get here. Not proof against a
// folder changed while it runs, as openat2 is.
int beneathbywalk(int dirfd, const char *dirpath, const char *rel, int flags, bool nolinks)
{
    int cur = dirfd;
    const char *p = rel;
    for (;;) {
        size_t len = strcspn(p, "/");
        const char *next = p + len + strspn(p + len, "/");
        char part[pathmax];
        snprintf(part, sizeof part, "%.*s", int(len), p);
        if (*next == 0) {   // the last part
            int fd = openat(cur, part, flags | (nolinks ? O_NOFOLLOW : 0));
            int openerr = errno;
            if (cur != dirfd) close(cur);
            if (fd < 0 || nolinks) {
                errno = openerr;
                return fd;
            }
            char want[pathmax], full[pathmax + 2], real[PATH_MAX];
            struct stat a, b;
            snprintf(full, sizeof full, "%s/%s", dirpath, rel);
            bool in = realpath(dirpath, want) && realpath(full, real) && fstat(fd, &a) == 0 &&
                      stat(real, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
            size_t wantlen = strlen(want);
            in = in && strncmp(real, want, wantlen) == 0 && (real[wantlen] == '/' || strcmp(want, "/") == 0);
            if (!in) {
                close(fd);
                errno = EXDEV;
                return -1;
            }
            return fd;
        }
        int sub = openat(cur, part, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        int openerr = errno;
        struct stat st;
        if (sub >= 0 && fstat(sub, &st) == 0 && !S_ISDIR(st.st_mode)) {
            openerr = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
            close(sub);
            sub = -1;
        }
        if (cur != dirfd) close(cur);
        if (sub < 0) {
            errno = openerr;
            return -1;
        }
        cur = sub;
        p = next;
    }
}

// Opens rel within the folder dirfd (dirpath) with openat2: through no
// link at all when nolinks, else following links that stay in the folder
// (RESOLVE_BENEATH) and never a magic link of /proc.
int beneath(int dirfd, const char *dirpath, const char *rel, int flags, bool nolinks)
{
#ifdef MAVRIN_OPENAT2
    if (!openat2missing) {
        struct open_how how;
        memset(&how, 0, sizeof how);
        how.flags = uint64_t(flags);
        how.resolve = RESOLVE_BENEATH | (nolinks ? RESOLVE_NO_SYMLINKS : RESOLVE_NO_MAGICLINKS);
        long fd = syscall(SYS_openat2, dirfd, rel, &how, sizeof how);
        // A seccomp filter that does not know openat2 may say EPERM; where
        // the file itself refuses, the walk says so again.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return int(fd);
    }
#endif
    return beneathbywalk(dirfd, dirpath, rel, flags, nolinks);
}

// Opens a track file, rel within the cue sheet's folder dirfd (dirpath),
// as openfile() opens a file, so that nothing outside the folder can be
// reached: no folder on the way may be a symbolic link, and a track file
// that is one must lead to a regular file in the folder. Returns the
// descriptor, or -1 with errno set; why is set when a link is refused.
int openbeneath(int dirfd, const char *dirpath, const char *rel, bool forupdate, struct stat &st,
                const char *&why)
{
    why = nullptr;
    const char *notregular =
        "is a symbolic link to something other than a regular file: only regular files are opened through links";
    int pfd = beneath(dirfd, dirpath, rel, O_PATH | O_NOFOLLOW | O_CLOEXEC, true);
    if (pfd < 0) {
        if (errno == ELOOP) why = "is reached through a symbolic link to a folder: only files in the cue sheet's folder are opened";
        if (errno == EXDEV) why = "lies outside the cue sheet's folder";
        return -1;
    }
    struct stat lst;
    int staterr = fstat(pfd, &lst) == 0 ? 0 : errno;
    close(pfd);
    if (staterr) {
        errno = staterr;
        return -1;
    }
    const bool link = S_ISLNK(lst.st_mode);
    const int flags = (forupdate ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = beneath(dirfd, dirpath, rel, flags, !link);
    if (fd < 0) {
        if (link && errno == EXDEV) why = "is a symbolic link that leads outside the cue sheet's folder";
        else if (link && errno == ENOENT) why = "is a symbolic link to a missing file";
        else if (link && errno == EISDIR) why = notregular;
        else if (errno == ELOOP) why = link ? "is a symbolic link through too many links"
                                            : "became a symbolic link while it was opened";
        return -1;
    }
    fd = takeopened(fd, st, !link);
    if (fd < 0 && link && errno == ENODEV) why = notregular;
    return fd;
}

// Why a file did not open, as a phrase that follows its name.
void openfailed(ImageError &err, const char *path, int errnum)
{
    if (errnum == ENOENT) fail(err, path, "is missing");
    else if (errnum == ENODEV || errnum == EISDIR) fail(err, path, "is not a regular file or block device");
    else fail(err, path, "cannot be opened: %s", strerror(errnum));
}

// Whether two files are one: one inode, or one block device by two names.
bool samefile(dev_t adev, ino_t aino, dev_t ardev, bool ablk, const struct stat &b)
{
    if (ablk && S_ISBLK(b.st_mode)) return ardev == b.st_rdev;
    return adev == b.st_dev && aino == b.st_ino;
}

// Fills in file i of img from its open descriptor and its stat.
void takefile(Image &img, int i, int fd, const char *path, const struct stat &st)
{
    ImageFile &f = img.files[i];
    f.fd = fd;
    copypath(f.path, path);
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.rdev = st.st_rdev;
    f.blockdev = S_ISBLK(st.st_mode);
    // A block device's size is where its end is, not what stat says.
    off_t end = lseek(fd, 0, SEEK_END);
    f.size = end > 0 ? int64_t(end) : 0;
    f.first = i == 0 ? 0 : img.files[i - 1].first + img.files[i - 1].size;
    img.nfiles = i + 1;
    img.size = f.first + f.size;
}

void closeall(Image &img)
{
    for (int i = 0; i < img.nfiles; i++)
        if (img.files[i].fd >= 0) close(img.files[i].fd);
    img.nfiles = 0;
    img.size = 0;
}

bool opensingle(Image &img, const char *path, bool forupdate, const struct stat *exclude,
                const char *excludename, ImageError &err)
{
    if (strlen(path) >= pathmax) {
        fail(err, path, "has too long a path");
        return false;
    }
    struct stat st;
    int fd = openfile(path, forupdate, st);
    if (fd < 0) {
        openfailed(err, path, errno);
        return false;
    }
    if (exclude && samefile(exclude->st_dev, exclude->st_ino, exclude->st_rdev,
                            S_ISBLK(exclude->st_mode), st)) {
        close(fd);
        fail(err, path, "is the same file as %s", excludename ? excludename : "another given");
        return false;
    }
    takefile(img, 0, fd, path, st);
    return true;
}

// Reads the cue sheet at path into text (zero-terminated, allocated: the
// caller frees it, also on a failure), with the sheet's own stat. Memory is
// taken with malloc, as in the rest of this file: Mavrin links it, and
// starts faster without the C++ library.
bool readcuetext(const char *path, char *&text, struct stat &st, ImageError &err)
{
    int fd = openfile(path, false, st);
    if (fd < 0) {
        openfailed(err, path, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > cuetextmax) {
        close(fd);
        fail(err, path, S_ISREG(st.st_mode) ? "is too large for a cue sheet" : "is not a regular file");
        return false;
    }
    text = static_cast<char *>(malloc(size_t(st.st_size) + 1));
    long got = text ? zem::readat(fd, reinterpret_cast<unsigned char *>(text), long(st.st_size), 0) : -1;
    int readerr = errno;
    close(fd);
    if (got < 0) {
        fail(err, path, "cannot be read: %s", strerror(text ? readerr : ENOMEM));
        return false;
    }
    text[size_t(got)] = 0;
    if (memchr(text, 0, size_t(got))) {
        fail(err, path, "does not parse: it holds a zero byte");
        return false;
    }
    return true;
}

// Whether a name from a cue sheet leads out of the sheet's folder.
bool outside(const char *name)
{
    if (name[0] == '/') return true;
    for (const char *p = name; *p;) {
        size_t len = strcspn(p, "/");
        if (len == 2 && p[0] == '.' && p[1] == '.') return true;
        p += len;
        p += strspn(p, "/");
    }
    return false;
}

// When dir + name is missing: looks in its folder for names that differ
// from its last part only in case. Returns how many there are; when one,
// path becomes it.
int casematch(char *path, size_t pathlen)
{
    char *slash = strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    char folder[pathmax];
    snprintf(folder, sizeof folder, "%.*s", slash ? int(slash - path) + 1 : 1, slash ? path : ".");
    DIR *d = opendir(folder);
    if (!d) return 0;
    int found = 0;
    char match[pathmax] = {0};
    while (const dirent *e = readdir(d)) {
        if (strcasecmp(e->d_name, base) != 0) continue;
        if (found++ == 0) snprintf(match, sizeof match, "%s", e->d_name);
    }
    closedir(d);
    if (found == 1) {
        size_t keep = size_t(base - path);
        if (keep + strlen(match) >= pathlen) return 0;
        snprintf(path + keep, pathlen - keep, "%s", match);
    }
    return found;
}

// Opens the track file that name (from the sheet) gives, in the sheet's
// folder (dirfd, its path the first dirlen bytes of cuepath; the folder
// itself, as folder): the name as written, else the one name that differs
// from it only in case; a name with a backslash, not found so, again with
// backslashes as slashes, as Windows tools write them. path becomes the
// file's path. Returns the descriptor, or -1 with err filled in.
int opentrack(int dirfd, const char *folder, const char *cuepath, int dirlen, const char *name,
              bool forupdate, struct stat &st, char (&path)[pathmax], ImageError &err)
{
    char slashed[cuenamemax];
    snprintf(slashed, sizeof slashed, "%s", name);
    for (char *p = slashed; *p; p++)
        if (*p == '\\') *p = '/';
    const bool backslashes = strcmp(slashed, name) != 0;
    // ".\track.bin" is "track.bin": no "." parts, no doubled separators.
    char *to = slashed;
    for (const char *p = slashed; *p;) {
        size_t len = strcspn(p, "/");
        if (!(len == 1 && p[0] == '.') && len > 0) {
            if (to != slashed) *to++ = '/';
            memmove(to, p, len);
            to += len;
        }
        p += len;
        p += strspn(p, "/");
    }
    *to = 0;
    if (outside(name) || outside(slashed)) {
        fail(err, cuepath, "names %s, outside the cue sheet's folder", name);
        return -1;
    }
    char written[pathmax];
    for (int k = 0; k < (backslashes ? 2 : 1); k++) {
        if (size_t(snprintf(path, sizeof path, "%.*s%s", dirlen, cuepath, k == 0 ? name : slashed)) >= sizeof path) {
            fail(err, name, "has too long a path");
            return -1;
        }
        if (k == 0) copypath(written, path);
        const char *why = nullptr;
        int fd = openbeneath(dirfd, folder, path + dirlen, forupdate, st, why);
        int openerr = errno;
        if (fd < 0 && openerr == ENOENT && !why) {
            char other[pathmax];
            copypath(other, path);
            int n = casematch(other, sizeof other);
            if (n == 1) {
                copypath(path, other);
                fd = openbeneath(dirfd, folder, path + dirlen, forupdate, st, why);
                openerr = errno;
            } else if (n > 1) {
                fail(err, path, "is missing, and several names differ from it only in case");
                return -1;
            }
        }
        if (fd >= 0) return fd;
        if (why) {
            fail(err, path, "%s", why);
            return -1;
        }
        if (openerr != ENOENT || k == (backslashes ? 1 : 0)) {
            openfailed(err, openerr == ENOENT ? written : path, openerr);
            return -1;
        }
    }
    return -1;
}

// Opens the track files of the sheet, in order, and checks each against
// those before it, the sheet itself and exclude.
bool opentracks(Image &img, const CueSheet &sheet, const struct stat &cuest, bool forupdate,
                const struct stat *exclude, const char *excludename, ImageError &err)
{
    const char *slash = strrchr(img.cuepath, '/');
    const int dirlen = slash ? int(slash - img.cuepath) + 1 : 0;
    char folder[pathmax];
    snprintf(folder, sizeof folder, "%.*s", dirlen ? dirlen : 1, dirlen ? img.cuepath : ".");
    const int dirfd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) {
        fail(err, img.cuepath, "cannot be read: its folder does not open: %s", strerror(errno));
        return false;
    }
    bool ok = true;
    for (int i = 0; i < sheet.nfiles && ok; i++) {
        char path[pathmax];
        struct stat st;
        int fd = opentrack(dirfd, folder, img.cuepath, dirlen, sheet.files[i], forupdate, st, path, err);
        if (fd < 0) {
            ok = false;
            break;
        }
        takefile(img, i, fd, path, st);

        /* Checks */
        const char *why = nullptr;
        if (img.files[i].size == 0) why = "is empty";
        for (int j = 0; j < i && !why; j++) {
            const ImageFile &f = img.files[j];
            if (samefile(f.dev, f.ino, f.rdev, f.blockdev, st)) why = "is listed twice in the cue sheet";
        }
        if (!why && samefile(cuest.st_dev, cuest.st_ino, cuest.st_rdev, false, st))
            why = "is the cue sheet itself";
        if (why) {
            fail(err, path, "%s", why);
            ok = false;
        } else if (exclude && samefile(exclude->st_dev, exclude->st_ino, exclude->st_rdev,
                                       S_ISBLK(exclude->st_mode), st)) {
            fail(err, path, "is the same file as %s", excludename ? excludename : "another given");
            ok = false;
        }
    }
    close(dirfd);
    return ok;
}

// Places the sheet's tracks in the logical image: each from its first
// index, counted in the sectors of the track before it in its file from
// where that one starts; the first track of a file starts with the file,
// unless its INDEX 00 ends the file before, where it then starts.
bool placetracks(Image &img, const CueSheet &sheet, ImageError &err)
{
    img.ntracks = sheet.ntracks;
    int64_t anchor = 0, anchorsector = 0;   // where the last track placed in the file starts
    int64_t laststart = 0;                  // and the sector of its first index
    for (int i = 0; i < sheet.ntracks; i++) {
        const CueTrack &ct = sheet.tracks[i];
        Track &t = img.tracks[i];
        t.number = ct.number;
        t.file = ct.file;
        snprintf(t.mode, sizeof t.mode, "%s", ct.mode);
        t.sectorsize = ct.sectorsize;
        const bool firstinfile = i == 0 || sheet.tracks[i - 1].file != ct.file;
        char what[96];
        if (firstinfile && !ct.pregapbefore) {
            t.first = anchor = img.files[ct.file].first;
            anchorsector = 0;
            laststart = ct.start;
        } else {
            const CueTrack &prev = sheet.tracks[i - (i > 0)];
            const int64_t sector = ct.pregapbefore ? ct.pregap : ct.start;
            const int holder = ct.pregapbefore ? ct.file - 1 : ct.file;   // the file it starts in
            if (i == 0 || prev.file != holder) {
                snprintf(what, sizeof what, "puts track %d's INDEX 00 in a file without a track before it", ct.number);
                fail(err, img.cuepath, "%s", what);
                return false;
            }
            if (sector < laststart) {
                snprintf(what, sizeof what, "starts track %d before track %d", ct.number, prev.number);
                fail(err, img.cuepath, "%s", what);
                return false;
            }
            t.first = anchor + (sector - anchorsector) * prev.sectorsize;
            const ImageFile &f = img.files[holder];
            if (t.first > f.first + f.size) {
                snprintf(what, sizeof what, "starts track %d past the end of its file", ct.number);
                fail(err, img.cuepath, "%s", what);
                return false;
            }
            anchor = t.first;
            anchorsector = laststart = sector;
            if (ct.pregapbefore) {   // the tracks after it in its own file count from that file's start
                anchor = img.files[ct.file].first;
                anchorsector = 0;
                laststart = ct.start;
            }
        }
        if (i > 0) img.tracks[i - 1].size = t.first - img.tracks[i - 1].first;
    }
    img.tracks[img.ntracks - 1].size = img.size - img.tracks[img.ntracks - 1].first;
    return true;
}

bool opencue(Image &img, const char *path, bool forupdate, const struct stat *exclude,
             const char *excludename, ImageError &err)
{
    if (strlen(path) >= pathmax) {
        fail(err, path, "has too long a path");
        return false;
    }
    copypath(img.cuepath, path);
    char *text = nullptr;
    struct stat cuest;
    bool ok = readcuetext(path, text, cuest, err);
    void *room = ok ? malloc(sizeof(CueSheet)) : nullptr;
    CueSheet *sheet = room ? new (room) CueSheet : nullptr;
    char reason[reasonmax];
    if (ok && !sheet) {
        fail(err, path, "cannot be read: %s", strerror(ENOMEM));
        ok = false;
    } else if (ok && !parsecue(text, *sheet, reason, sizeof reason)) {
        fail(err, path, "%s", reason);
        ok = false;
    }
    free(text);
    if (ok) {
        img.cue = true;
        ok = opentracks(img, *sheet, cuest, forupdate, exclude, excludename, err) &&
             placetracks(img, *sheet, err);
    }
    free(room);
    return ok;
}

bool pwriteall(int fd, const unsigned char *buf, int64_t len, int64_t pos)
{
    int64_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, buf + done, size_t(len - done), off_t(pos + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace

bool iscuesheet(const char *path)
{
    size_t len = strlen(path);
    return len >= 4 && strcasecmp(path + len - 4, ".cue") == 0;
}

bool openimage(Image &img, const char *path, bool forupdate, const struct stat *exclude,
               const char *excludename, ImageError &err)
{
    img.cue = false;
    img.cuepath[0] = 0;
    img.nfiles = img.ntracks = 0;
    img.size = 0;
    err.path[0] = err.reason[0] = 0;
    bool ok = iscuesheet(path) ? opencue(img, path, forupdate, exclude, excludename, err)
                               : opensingle(img, path, forupdate, exclude, excludename, err);
    if (!ok) {
        closeall(img);
        img.cue = false;
        img.ntracks = 0;
    }
    return ok;
}

bool closeimage(Image &img)
{
    bool ok = true;
    for (int i = 0; i < img.nfiles; i++) {
        if (img.files[i].fd >= 0 && close(img.files[i].fd) != 0) ok = false;
        img.files[i].fd = -1;
    }
    return ok;
}

bool filesunchanged(const Image &img, int *failedfile)
{
    for (int i = 0; i + 1 < img.nfiles; i++) {
        const ImageFile &f = img.files[i];
        struct stat st;
        bool same = fstat(f.fd, &st) == 0 && samefile(f.dev, f.ino, f.rdev, f.blockdev, st);
        const int64_t size = !same ? -1 : f.blockdev ? int64_t(lseek(f.fd, 0, SEEK_END)) : int64_t(st.st_size);
        if (size != f.size) {
            if (failedfile) *failedfile = i;
            return false;
        }
    }
    return true;
}

int fileat(const Image &img, int64_t pos)
{
    int lo = 0, hi = img.nfiles - 1;
    while (lo < hi) {
        int mid = (lo + hi + 1) / 2;
        if (img.files[mid].first <= pos)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

int findfile(const Image &img, const struct stat &st)
{
    for (int i = 0; i < img.nfiles; i++) {
        const ImageFile &f = img.files[i];
        if (samefile(f.dev, f.ino, f.rdev, f.blockdev, st)) return i;
    }
    return -1;
}

int64_t readimage(const Image &img, unsigned char *buf, int64_t len, int64_t pos, int *failedfile)
{
    if (pos < 0 || len < 0) {
        errno = EINVAL;
        return -1;
    }
    int64_t done = 0;
    while (done < len && pos + done < img.size) {
        const int64_t at = pos + done;
        const int i = fileat(img, at);
        const ImageFile &f = img.files[i];
        const int64_t n = std::min(len - done, f.first + f.size - at);
        const long got = zem::readat(f.fd, buf + done, long(n), at - f.first);
        if (got < 0 || (got < n && i != img.nfiles - 1)) {
            if (got >= 0) errno = EIO;   // a file before the last has shrunk
            if (failedfile) *failedfile = i;
            return -1;
        }
        done += got;
        if (got < n) break;
    }
    return done;
}

bool writeimage(Image &img, const unsigned char *buf, int64_t len, int64_t pos, int *failedfile)
{
    if (pos < 0 || len < 0) {
        errno = EINVAL;
        return false;
    }
    const int last = img.nfiles - 1;
    int64_t done = 0;
    while (done < len) {
        const int64_t at = pos + done;
        const int i = fileat(img, at);
        ImageFile &f = img.files[i];
        const int64_t n = i == last ? len - done : std::min(len - done, f.first + f.size - at);
        if (!pwriteall(f.fd, buf + done, n, at - f.first)) {
            if (failedfile) *failedfile = i;
            return false;
        }
        if (i == last && at + n > img.size) {
            f.size = at + n - f.first;
            img.size = at + n;
        }
        done += n;
    }
    return true;
}

bool findsplit(const char *path, SplitDump &out)
{
    struct stat st;
    if (iscuesheet(path) || stat(path, &st) != 0) return false;
    const char *slash = strrchr(path, '/');
    char folder[pathmax];
    snprintf(folder, sizeof folder, "%.*s", slash ? int(slash - path) + 1 : 2, slash ? path : "./");
    DIR *d = opendir(folder);
    if (!d) return false;
    void *room = malloc(sizeof(Image));
    Image *img = room ? new (room) Image : nullptr;
    bool found = false;
    char best[pathmax] = {0};
    while (img && d) {
        const dirent *e = readdir(d);
        if (!e) break;
        if (!iscuesheet(e->d_name) || (found && strcmp(e->d_name, best) >= 0)) continue;
        char cuepath[pathmax];
        if (size_t(snprintf(cuepath, sizeof cuepath, "%s%s", slash ? folder : "", e->d_name)) >= sizeof cuepath)
            continue;
        ImageError err;
        if (!openimage(*img, cuepath, false, nullptr, nullptr, err)) continue;
        int i = findfile(*img, st);
        if (i >= 0 && img->nfiles > 1) {
            found = true;
            snprintf(best, sizeof best, "%s", e->d_name);
            copypath(out.cuepath, cuepath);
            out.file = i;
            out.nfiles = img->nfiles;
            out.first = img->files[i].first;
            out.size = img->files[i].size;
            out.imagesize = img->size;
        }
        closeimage(*img);
    }
    free(room);
    closedir(d);
    return found;
}

} // namespace disc
