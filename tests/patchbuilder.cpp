// Patch builder, image maker and program runner shared by the tests.
#include "patchbuilder.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <linux/capability.h>
#include <sstream>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zemformat.hpp"

const char *const banner = "Mavrin v2.0 for Linux/Unix\n";
const std::string nodiz = "File_id.diz    : no\n\n";
const std::string yes = "File_id.diz    : yes, showing...\n";
const std::string done = "Patching ... DONE..\n";
const std::string damaged =
    "Patching ... ERROR: damaged ZEM file, the BIN file was not changed.\n";
const std::string writefailed =
    "Patching ... ERROR: writing the BIN file failed, it may be partly patched.\n";

bytes zemheader(int method, const std::string &desc)
{
    bytes p = {'Z', 'E', 'M', 0, 0, (unsigned char)method};
    p.resize(zem::v1headerlen, 0);
    for (size_t i = 0; i < desc.size() && i < size_t(zem::desclen); i++)
        p[zem::descpos + i] = (unsigned char)desc[i];
    return p;
}

void putle32(bytes &p, int32_t v)
{
    uint32_t u = uint32_t(v);
    for (int i = 0; i < 4; i++) p.push_back((unsigned char)(u >> (8 * i)));
}

void addrecord(bytes &p, int32_t pos, const bytes &data)
{
    putle32(p, pos);
    p.push_back((unsigned char)data.size());
    p.insert(p.end(), data.begin(), data.end());
}

void addcheck(bytes &p, int32_t imagesize, const bytes &image)
{
    putle32(p, imagesize);
    for (long i = 0; i < zem::checkblocklen; i++) {
        size_t at = size_t(zem::imageblockpos + i);
        p.push_back(at < image.size() ? image[at] : 0);
    }
}

void adddiz(bytes &p, const std::string &text, int32_t len)
{
    p.insert(p.end(), zem::dizheadskip, '#');
    p.insert(p.end(), text.begin(), text.end());
    p.insert(p.end(), zem::diztailskip, '#');
    p.insert(p.end(), {'.', 'D', 'I', 'Z'});
    putle32(p, len);
}

void adddiz(bytes &p, const std::string &text)
{
    std::string stored = text + "-------";   // the seven hidden bytes
    adddiz(p, stored, int32_t(stored.size()));
}

bytes makeimage(size_t size, unsigned seed)
{
    bytes b(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &c : b) {
        x = x * 1103515245u + 12345u;
        c = (unsigned char)(x >> 16);
    }
    return b;
}

void putbytes(bytes &image, int32_t pos, const bytes &data)
{
    if (data.empty()) return;
    if (image.size() < size_t(pos) + data.size()) image.resize(size_t(pos) + data.size(), 0);
    std::copy(data.begin(), data.end(), image.begin() + pos);
}

void writefile(const std::string &path, const bytes &b)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
    ASSERT_TRUE(f.good()) << path;
}

bytes readfile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

static std::string slurp(const std::string &path)
{
    bytes b = readfile(path);
    return std::string(b.begin(), b.end());
}

static std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, size_t(n));
    return s;
}

Captured inprocess(const std::string &input, const std::function<void()> &fn)
{
    int in = memfd_create("in", 0), out = memfd_create("out", 0), err = memfd_create("err", 0);
    EXPECT_EQ(write(in, input.data(), input.size()), ssize_t(input.size()));
    lseek(in, 0, SEEK_SET);
    fflush(stdout);
    fflush(stderr);
    int saved[3] = {dup(0), dup(1), dup(2)};
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    __fpurge(stdin);
    clearerr(stdin);
    fn();
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; fd++) {
        dup2(saved[fd], fd);
        close(saved[fd]);
    }
    Captured c{drain(out), drain(err)};
    close(in);
    close(out);
    close(err);
    return c;
}

void execprog(const std::string &prog, const std::vector<std::string> &args)
{
    std::vector<std::string> words;
    if (const char *wrapper = getenv("MAVRIN_TEST_WRAPPER")) {
        std::istringstream in(wrapper);
        for (std::string w; in >> w;) words.push_back(w);
    }
    words.push_back(prog);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

RunResult runprog(const std::string &prog, const std::vector<std::string> &args,
                  const RunOpts &opts)
{
    char tmpl[] = "/tmp/mavrinrun.XXXXXX";
    std::string tmp = mkdtemp(tmpl);
    writefile(tmp + "/in", bytes(opts.input.begin(), opts.input.end()));

    pid_t pid = fork();
    if (pid == 0) {
        const std::string out = opts.outpath.empty() ? tmp + "/out" : opts.outpath;
        int fds[3] = {open((tmp + "/in").c_str(), O_RDONLY),
                      open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                      open((tmp + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
        for (int fd = 0; fd < 3; fd++) dup2(fds[fd], fd);
        for (int fd : fds)
            if (fd > 2) close(fd);
        for (int fd = 0; fd < 3; fd++)
            if (opts.closed >> fd & 1) close(fd);
        if (opts.fsizelimit > 0) {
            struct rlimit rl = {rlim_t(opts.fsizelimit), rlim_t(opts.fsizelimit)};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        if (opts.aslimit > 0) {
            struct rlimit rl = {rlim_t(opts.aslimit), rlim_t(opts.aslimit)};
            setrlimit(RLIMIT_AS, &rl);
        }
        // Root keeps its uid but loses, for what it executes, the
        // capabilities that let it open any file whatever its mode.
        if (opts.plainuser && geteuid() == 0)
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
                if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) _exit(126);
        alarm(watchdogseconds);   // survives exec
        execprog(prog, args);
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    RunResult r{slurp(tmp + "/out"), slurp(tmp + "/err"), WIFEXITED(ws) ? WEXITSTATUS(ws) : -1};
    for (const char *f : {"/in", "/out", "/err"}) unlink((tmp + f).c_str());
    rmdir(tmp.c_str());
    return r;
}

RunResult runprog(const std::string &prog, const std::vector<std::string> &args,
                  const std::string &input, long fsizelimit, bool plainuser)
{
    RunOpts opts;
    opts.input = input;
    opts.fsizelimit = fsizelimit;
    opts.plainuser = plainuser;
    return runprog(prog, args, opts);
}

void MavrinRun::SetUp()
{
    char tmpl[] = "/tmp/mavrintest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
}

void MavrinRun::TearDown()
{
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

RunResult MavrinRun::apply(const bytes &img, const bytes &patch, const std::string &input)
{
    writefile(path("image.bin"), img);
    writefile(path("patch.zem"), patch);
    RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem")}, input);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    return r;
}

std::string infolines(const std::string &zempath, int method, const std::string &desc,
                      const std::string &dizlines)
{
    return std::string(banner) + "\nFilename       : " + zempath + "\n" +
           "Enc. Method    : " + std::to_string(method) +
           (method == 0 ? " (ZEM1.0)\n" : " (ZEM2.0)\n") + "Description    : " + desc + "\n" +
           dizlines;
}

std::string buildname(const ::testing::TestParamInfo<const char *> &info)
{
    return std::string(info.param) == MAVRIN_STATIC ? "static" : "dynamic";
}
