// The mount: FUSE's low-level interface over the shown files. Nothing shown
// ever changes while mounted, so the kernel keeps what it has read in its
// page cache and its names and attributes for as long as it likes.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "zemmount.hpp"

namespace {

constexpr double forever = 86400.0;        // seconds names and attributes stay valid
constexpr unsigned maxread = 1u << 20;     // the largest read asked for at once
// Threads serving at once, at most, all kept: each holds a buffer of
// maxread bytes once it has served a large read, and more than the
// machine's two cores made no read measurably faster, only the process
// larger (up to 8 MiB more with eight).
constexpr unsigned maxthreads = 2;

Mount *mounted(fuse_req_t req)
{
    return static_cast<Mount *>(fuse_req_userdata(req));
}

const Node *node(Mount &m, fuse_ino_t ino)
{
    return ino >= 1 && ino <= m.nodes.size() ? &m.nodes[ino - 1] : nullptr;
}

struct stat attr(const Mount &m, size_t i)
{
    struct stat st = m.nodes[i].st;
    st.st_ino = i + 1;
    return st;
}

void zminit(void *, struct fuse_conn_info *conn)
{
    // The files never change: what the page cache holds stays valid.
    conn->want &= ~unsigned(FUSE_CAP_AUTO_INVAL_DATA);
    conn->max_readahead = maxread;
    conn->max_read = maxread;   // as the mount option says
}

void zmlookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    Mount &m = *mounted(req);
    for (size_t i = 1; i < m.nodes.size(); i++) {
        if (m.nodes[i].parent + 1 != parent || m.nodes[i].name != name) continue;
        struct fuse_entry_param e = {};
        e.ino = i + 1;
        e.attr = attr(m, i);
        e.attr_timeout = e.entry_timeout = forever;
        fuse_reply_entry(req, &e);
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void zmgetattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *)
{
    Mount &m = *mounted(req);
    if (!node(m, ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = attr(m, ino - 1);
    fuse_reply_attr(req, &st, forever);
}

void zmopen(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    Mount &m = *mounted(req);
    const Node *n = node(m, ino);
    if (!n) fuse_reply_err(req, ENOENT);
    else if (n->kind == Node::folder) fuse_reply_err(req, EISDIR);
    else if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) fuse_reply_err(req, EROFS);
    else {
        fi->keep_cache = 1;
        fuse_reply_open(req, fi);
    }
}

void zmread(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *)
{
    Mount &m = *mounted(req);
    const Node *n = node(m, ino);
    if (!n || n->kind == Node::folder) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    int64_t len = off >= n->size ? 0 : std::min<int64_t>(int64_t(size), n->size - off);
    thread_local std::vector<unsigned char> buf;
    buf.resize(size_t(len));
    int64_t got;
    if (n->kind == Node::sheet) got = len ? pread(m.sheetfd, buf.data(), size_t(len), off) : 0;
    else got = len ? readpatched(m, buf.data(), len, n->first + off) : 0;
    if (got < 0) fuse_reply_err(req, EIO);
    else fuse_reply_buf(req, reinterpret_cast<const char *>(buf.data()), size_t(got));
}

void zmopendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    Mount &m = *mounted(req);
    const Node *n = node(m, ino);
    if (!n) fuse_reply_err(req, ENOENT);
    else if (n->kind != Node::folder) fuse_reply_err(req, ENOTDIR);
    else if ((fi->flags & O_ACCMODE) != O_RDONLY) fuse_reply_err(req, EROFS);
    else {
        fi->cache_readdir = 1;
        fi->keep_cache = 1;
        fuse_reply_open(req, fi);
    }
}

void zmreaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *)
{
    Mount &m = *mounted(req);
    // ".", "..", then the folder's own entries; an entry's offset is the
    // place of the next one.
    std::vector<std::pair<const char *, size_t>> entries = {{".", ino - 1},
                                                            {"..", m.nodes[ino - 1].parent}};
    for (size_t i = 1; i < m.nodes.size(); i++)
        if (m.nodes[i].parent + 1 == ino) entries.push_back({m.nodes[i].name.c_str(), i});
    std::vector<char> buf(size);
    size_t used = 0;
    for (size_t k = size_t(off); k < entries.size(); k++) {
        struct stat st = attr(m, entries[k].second);
        size_t need = fuse_add_direntry(req, buf.data() + used, size - used, entries[k].first, &st,
                                        off_t(k + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void zmstatfs(fuse_req_t req, fuse_ino_t)
{
    Mount &m = *mounted(req);
    struct statvfs sv = {};
    sv.f_bsize = sv.f_frsize = 4096;
    for (const Node &n : m.nodes) sv.f_blocks += fsblkcnt_t((n.size + 4095) / 4096);
    sv.f_files = m.nodes.size();
    sv.f_namemax = 255;
    sv.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &sv);
}

// Every change is refused: the mount is read-only also to a kernel that
// would pass a change on.
void refuse(fuse_req_t req)
{
    fuse_reply_err(req, EROFS);
}
void zmsetattr(fuse_req_t req, fuse_ino_t, struct stat *, int, struct fuse_file_info *) { refuse(req); }
void zmmknod(fuse_req_t req, fuse_ino_t, const char *, mode_t, dev_t) { refuse(req); }
void zmmkdir(fuse_req_t req, fuse_ino_t, const char *, mode_t) { refuse(req); }
void zmunlink(fuse_req_t req, fuse_ino_t, const char *) { refuse(req); }
void zmsymlink(fuse_req_t req, const char *, fuse_ino_t, const char *) { refuse(req); }
void zmrename(fuse_req_t req, fuse_ino_t, const char *, fuse_ino_t, const char *, unsigned) { refuse(req); }
void zmlink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char *) { refuse(req); }
void zmwrite(fuse_req_t req, fuse_ino_t, const char *, size_t, off_t, struct fuse_file_info *) { refuse(req); }
void zmcreate(fuse_req_t req, fuse_ino_t, const char *, mode_t, struct fuse_file_info *) { refuse(req); }
void zmsetxattr(fuse_req_t req, fuse_ino_t, const char *, const char *, size_t, int) { refuse(req); }
void zmremovexattr(fuse_req_t req, fuse_ino_t, const char *) { refuse(req); }

// A field of /proc/self/mountinfo as the path it stands for (a space, tab,
// newline or backslash in it written as \ and three octal digits).
std::string unescaped(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// The kernel reads a FUSE file ahead 128 KiB at a time, and takes no more
// than that from the INIT reply: a whole read is then a request to the
// server every 128 KiB. The mount's own backing device (its number is the
// mount's in /proc/self/mountinfo) says how far to read ahead; where the
// system lets the server set it (as root), a window of maxread makes the
// requests as large as a read may be, and a whole read a fraction of them.
// Elsewhere the window stays as it was: nothing else changes.
void readahead(const char *mountpoint)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string device;
    for (std::string line; std::getline(in, line);) {
        // mount id, parent id, major:minor, root, mount point, ...
        size_t f3 = line.find(' ', line.find(' ') + 1) + 1;
        size_t f4 = line.find(' ', f3) + 1;
        size_t f5 = line.find(' ', f4) + 1;
        size_t end = line.find(' ', f5);
        if (f3 == 0 || f4 == 0 || f5 == 0 || end == std::string::npos) continue;
        if (unescaped(line.substr(f5, end - f5)) == mountpoint) device = line.substr(f3, f4 - 1 - f3);
    }
    if (device.empty()) return;
    std::ofstream ra("/sys/class/bdi/" + device + "/read_ahead_kb");
    ra << maxread / 1024 << std::flush;
}

} // namespace

bool serve(Mount &m, const char *mountpoint, const std::string &fuseopts, bool foreground)
{
    struct fuse_lowlevel_ops ops = {};
    ops.init = zminit;
    ops.lookup = zmlookup;
    ops.getattr = zmgetattr;
    ops.open = zmopen;
    ops.read = zmread;
    ops.opendir = zmopendir;
    ops.readdir = zmreaddir;
    ops.statfs = zmstatfs;
    ops.setattr = zmsetattr;
    ops.mknod = zmmknod;
    ops.mkdir = zmmkdir;
    ops.unlink = zmunlink;
    ops.rmdir = zmunlink;
    ops.symlink = zmsymlink;
    ops.rename = zmrename;
    ops.link = zmlink;
    ops.write = zmwrite;
    ops.create = zmcreate;
    ops.setxattr = zmsetxattr;
    ops.removexattr = zmremovexattr;

    // The user's options first, so that ours come last and win.
    std::string opts = fuseopts.empty() ? "" : fuseopts + ",";
    opts += "ro,default_permissions,fsname=zemmount,subtype=zemmount,max_read=" + std::to_string(maxread);
    std::vector<std::string> words = {"zemmount", "-o", opts};
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    struct fuse_args args = FUSE_ARGS_INIT(int(argv.size()), argv.data());

    struct fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, &m);
    fuse_opt_free_args(&args);   // what the session's parse of them allocated
    if (!se) {
        fprintf(stderr, "zemmount: the FUSE options %s are not valid\n", fuseopts.c_str());
        return false;
    }
    if (fuse_set_signal_handlers(se) != 0) {
        fprintf(stderr, "zemmount: cannot catch SIGINT and SIGTERM\n");
        fuse_session_destroy(se);
        return false;
    }
    // The whole path: a daemon leaves the folder it was started in.
    char full[PATH_MAX];
    if (!realpath(mountpoint, full) || fuse_session_mount(se, full) != 0) {
        fprintf(stderr, "zemmount: cannot mount on %s\n", mountpoint);
        fuse_remove_signal_handlers(se);
        fuse_session_destroy(se);
        return false;
    }
    readahead(full);
    fflush(stdout);
    fuse_daemonize(foreground ? 1 : 0);

    struct fuse_loop_config *loop = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(loop, maxthreads);
    fuse_loop_cfg_set_idle_threads(loop, maxthreads);
    fuse_session_loop_mt(se, loop);
    fuse_loop_cfg_destroy(loop);

    fuse_session_unmount(se);
    fuse_remove_signal_handlers(se);
    fuse_session_destroy(se);
    return true;
}
