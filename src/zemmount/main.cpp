// zemmount: shows an image through ZEM patches as read-only files, the
// image itself untouched: options, the checks before mounting, the mount.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "zemmount.hpp"

static const char usagetext[] =
    "Usage: zemmount [-f] [-y] [-e] [-o FUSEOPTIONS] IMAGE PATCH... MOUNTPOINT\n"
    "\n"
    "Shows IMAGE with the ZEM patches PATCH... applied in the order given, as\n"
    "read-only files in MOUNTPOINT, an empty folder; no byte of any file is\n"
    "written. For one image file MOUNTPOINT holds a file of its name; for a cue\n"
    "sheet (.cue), the cue sheet as it is and each of its track files patched.\n"
    "Every patch is checked before anything is mounted, a version 2.0 patch\n"
    "against the image as the patches before it leave it. Unmount with\n"
    "'fusermount3 -u MOUNTPOINT'.\n"
    "\n"
    "  -f, --foreground          stay in the foreground (SIGINT or SIGTERM unmounts)\n"
    "  -y, --any-image           mount version 2.0 patches on an image they were not\n"
    "                            made for\n"
    "  -e, --fix-codes           right EDC and ECC in the data sectors the patches\n"
    "                            change, as zemmake -e writes them\n"
    "  -o, --options=FUSEOPTIONS mount options for FUSE, comma-separated (the mount\n"
    "                            stays read-only)\n"
    "  -h, --help                show this help and exit\n"
    "      --version             show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  mounted (in the background), or with -f mounted and unmounted again\n"
    "  1  an error: a message on standard error, and nothing was mounted\n";

static int usageerror(const std::string &msg)
{
    fprintf(stderr, "zemmount: %s\nTry 'zemmount --help' for more information.\n", msg.c_str());
    return 1;
}

// The message for an option getopt_long turned down, named as written.
static std::string optionerror(int c, char **argv, const struct option *longopts)
{
    const std::string given = argv[optind - 1];
    std::string name = std::string("-") + char(optopt);
    if (given.rfind("--", 0) == 0) {
        name = given.substr(0, given.find('='));
        for (const struct option *o = longopts; o->name; o++)
            if (name == std::string("--") + o->name)
                return "option " + name + (o->has_arg ? " needs a value" : " takes no value");
    }
    return c == ':' ? "option " + name + " needs a value" : "unknown option " + name;
}

// The last part of a path.
static std::string lastpart(const std::string &path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// A shown file: attributes of the original at path (read bits only).
static bool shownstat(const std::string &path, int64_t size, struct stat &st)
{
    if (stat(path.c_str(), &st) != 0) return false;
    st.st_mode = S_IFREG | (st.st_mode & 0444);
    st.st_size = size;
    st.st_blocks = (size + 511) / 512;
    st.st_nlink = 1;
    return true;
}

// The folder that holds a track file at relative path rel, made as needed;
// returns its index and leaves the last part in rel.
static size_t folderfor(Mount &m, std::string &rel, const struct stat &rootst)
{
    size_t parent = 0;
    for (size_t slash; (slash = rel.find('/')) != std::string::npos;) {
        std::string part = rel.substr(0, slash);
        rel.erase(0, rel.find_first_not_of('/', slash));
        if (part.empty() || part == ".") continue;
        size_t found = 0;
        for (size_t i = 1; i < m.nodes.size() && !found; i++)
            if (m.nodes[i].parent == parent && m.nodes[i].name == part) found = i;
        if (!found) {
            m.nodes.push_back({part, parent, Node::folder, 0, 0, rootst});
            found = m.nodes.size() - 1;
        }
        parent = found;
    }
    return parent;
}

// The files to show: the image's one file, or the cue sheet and its track
// files by their names relative to the sheet's folder.
static bool shownfiles(Mount &m, const char *image, bool cue)
{
    std::string folder = lastpart(image) == image ? "." : std::string(image).substr(0, strlen(image) - lastpart(image).size());
    struct stat rootst;
    if (stat(folder.c_str(), &rootst) != 0) rootst = {};
    rootst.st_mode = S_IFDIR | (rootst.st_mode & 0555) | 0500;
    rootst.st_nlink = 2;
    m.nodes.push_back({"", 0, Node::folder, 0, 0, rootst});
    if (cue) {
        m.sheetfd = open(image, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (m.sheetfd < 0 || fstat(m.sheetfd, &st) != 0 || !shownstat(image, st.st_size, st)) {
            fprintf(stderr, "zemmount: %s: %s\n", image, strerror(errno));
            return false;
        }
        m.nodes.push_back({lastpart(image), 0, Node::sheet, 0, st.st_size, st});
    }
    const size_t dirlen = cue ? strlen(image) - lastpart(image).size() : 0;
    for (int i = 0; i < zem_view_nfiles(m.view); i++) {
        const char *name;
        int64_t first, size;
        zem_view_file(m.view, i, &name, &first, &size);
        std::string rel = cue ? std::string(name).substr(dirlen) : lastpart(name);
        size_t parent = folderfor(m, rel, rootst);
        struct stat st;
        if (!shownstat(name, size, st)) {
            fprintf(stderr, "zemmount: %s: %s\n", name, strerror(errno));
            return false;
        }
        m.nodes.push_back({rel, parent, Node::track, first, size, st});
    }
    return true;
}

// Why the view refused the image or patch k, in words: the image's refusal
// as the view words it (the file at fault and what is wrong), a patch's with
// Mavrin's question for a patch made for another image.
static void refusal(const char *image, const char *const *patches, int npatches, int error, int k,
                    const char *words)
{
    if (error == ZEM_EIMAGE) {
        fprintf(stderr, "zemmount: %s\n", words);
        return;
    }
    const char *what = k >= 0 ? patches[k] : image;
    std::string why = zem_strerror(error);
    if (error == ZEM_EWRONGSIZE || error == ZEM_EWRONGIMAGE) {
        if (k > 0) why += " (as the patches before it leave it)";
        why += std::string(": Mavrin says \"") +
               (error == ZEM_EWRONGSIZE ? "The size of the BIN file isnt correct"
                                        : "The BINfile does not seem to be the right one") +
               "\"; -y mounts it all the same";
    }
    if (k >= 0 && npatches > 1) fprintf(stderr, "zemmount: %s (patch %d of %d): %s\n", what, k + 1, npatches, why.c_str());
    else fprintf(stderr, "zemmount: %s: %s\n", what, why.c_str());
}

// Whether path is an empty folder, with a message when not.
static bool emptyfolder(const char *path)
{
    DIR *d = opendir(path);
    if (!d) {
        fprintf(stderr, "zemmount: %s: %s\n", path,
                errno == ENOTDIR ? "is not a folder: the mount point must be an empty folder" : strerror(errno));
        return false;
    }
    int n = 0;
    while (const dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) n++;
    closedir(d);
    if (n > 0) fprintf(stderr, "zemmount: %s: is not empty: the mount point must be an empty folder\n", path);
    return n == 0;
}

int main(int argc, char **argv)
{
    /* Options */
    bool foreground = false, anyimage = false, fixcodes = false;
    std::string fuseopts;
    static const struct option longopts[] = {{"foreground", no_argument, nullptr, 'f'},
                                              {"any-image", no_argument, nullptr, 'y'},
                                              {"fix-codes", no_argument, nullptr, 'e'},
                                              {"options", required_argument, nullptr, 'o'},
                                              {"help", no_argument, nullptr, 'h'},
                                              {"version", no_argument, nullptr, 'V'},
                                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":fyeo:h", longopts, nullptr)) != -1;) {
        switch (c) {
        case 'f': foreground = true; break;
        case 'y': anyimage = true; break;
        case 'e': fixcodes = true; break;
        case 'o': fuseopts += (fuseopts.empty() ? "" : ",") + std::string(optarg); break;
        case 'h': fputs(usagetext, stdout); return 0;
        case 'V': printf("zemmount %s\n", MAVRIN_VERSION); return 0;
        default: return usageerror(optionerror(c, argv, longopts));
        }
    }
    if (argc - optind < 3) return usageerror("expected IMAGE, at least one PATCH and MOUNTPOINT");
    const char *image = argv[optind], *mountpoint = argv[argc - 1];
    const char *const *patches = argv + optind + 1;
    const int npatches = argc - optind - 2;
    if (npatches > 255) return usageerror("at most 255 patches are applied at once");

    /* The view, every patch checked */
    Mount m;
    int error = 0, failed = -1;
    char words[1024];
    m.view = zem_view_open_why(image, patches, npatches, anyimage ? ZEM_ANYIMAGE : 0, &error,
                               &failed, words, sizeof words);
    if (!m.view) {
        refusal(image, patches, npatches, error, failed, words);
        return 1;
    }
    if (fixcodes &&
        !(m.original = zem_view_open_why(image, nullptr, 0, 0, &error, &failed, words, sizeof words))) {
        refusal(image, patches, npatches, error, -1, words);
        return 1;
    }
    const size_t len = strlen(image);
    const bool cue = len >= 4 && strcasecmp(image + len - 4, ".cue") == 0;
    if (!shownfiles(m, image, cue) || !emptyfolder(mountpoint)) return 1;

    /* Mounted, then served until unmounted */
    bool ok = serve(m, mountpoint, fuseopts, foreground);
    zem_view_close(m.view);
    zem_view_close(m.original);
    if (m.sheetfd >= 0) close(m.sheetfd);
    return ok ? 0 : 1;
}
