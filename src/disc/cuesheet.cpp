// Cue sheets read with libcue: the files and tracks the image layer needs.
#include "cuesheet.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libcue.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace disc {

namespace {

// libcue reports what it cannot read on standard error, and may still
// return a disc made of what it could. Its words are caught here for the
// refusal instead: a program's own output stays its own, and any word at
// all means the sheet is not taken. The streams are swapped only while the
// parse runs, before any thread of the caller's is started.
struct Catch {
    int saved = -1, sink = -1;
};

void startcatch(Catch &c)
{
    fflush(stderr);
    c.saved = fcntl(2, F_DUPFD_CLOEXEC, 3);   // -1 when standard error is closed
    // Where memfds are missing, libcue's words are lost and only a parse it
    // gives up on is refused.
#ifdef __EMSCRIPTEN__
    // The page's C library has no memfds: a file of its memory file system,
    // kept under its name (its dup2 opens the file again by name).
    int fd = open("/tmp/cuesheet-words", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
#else
    int fd = memfd_create("cuesheet", MFD_CLOEXEC);
#endif
    if (fd < 0) fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    c.sink = fd >= 0 && fd < 3 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : fd;
    if (fd >= 0 && fd < 3) close(fd);
    if (c.sink >= 0) dup2(c.sink, 2);
}

// Puts standard error back; returns whether libcue said anything, and its
// first line (less libcue's line number, which is not always right) in msg.
bool endcatch(Catch &c, char *msg, size_t msglen)
{
    fflush(stderr);
    if (c.saved >= 0) {
        dup2(c.saved, 2);
        close(c.saved);
    } else if (c.sink >= 0) {
        close(2);
    }
    msg[0] = 0;
    bool said = false;
    if (c.sink >= 0) {
        // Its size, not its offset: the page's C library gives a duplicated
        // descriptor an offset of its own.
        struct stat st;
        said = fstat(c.sink, &st) == 0 && st.st_size > 0;
        char line[reasonmax] = {0};
        ssize_t got = pread(c.sink, line, sizeof line - 1, 0);
        if (got > 0) {
            line[got] = 0;
            line[strcspn(line, "\n")] = 0;
            const char *p = line + strspn(line, "0123456789");
            p = p != line && p[0] == ':' && p[1] == ' ' ? p + 2 : line;
            snprintf(msg, msglen, "%s", p);
        }
        close(c.sink);
    }
    return said;
}

struct ModeName {
    TrackMode mode;
    const char *name;
    int sectorsize;
};

const ModeName modenames[] = {
    {MODE_AUDIO, "AUDIO", 2352},           {MODE_MODE1, "MODE1/2048", 2048},
    {MODE_MODE1_RAW, "MODE1/2352", 2352},  {MODE_MODE2, "MODE2/2336", 2336},
    {MODE_MODE2_FORM1, "MODE2/2048", 2048}, {MODE_MODE2_FORM2, "MODE2/2324", 2324},
    {MODE_MODE2_FORM_MIX, "MODE2/2332", 2332}, {MODE_MODE2_RAW, "MODE2/2352", 2352},
};

const char *const filetypes[] = {"BINARY", "MOTOROLA", "AIFF", "WAVE", "MP3", "FLAC"};

// Lines whose words the image layer never needs: comments and CD-TEXT.
// libcue refuses many that real sheets hold (an unquoted title of several
// words, "REM GENRE Rock and roll", a keyword in lower case), so they reach
// it as empty lines, their text untouched and unread.
const char *const unread[] = {"REM", "CATALOG", "CDTEXTFILE", "TITLE", "PERFORMER", "SONGWRITER",
                              "COMPOSER", "ARRANGER", "MESSAGE", "DISC_ID", "GENRE", "TOC_INFO1",
                              "TOC_INFO2", "UPC_EAN", "SIZE_INFO", "ISRC"};
const char *const flagwords[] = {"DCP", "4CH", "PRE", "SCMS"};

bool among(const char *word, const char *const *list, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (strcmp(word, list[i]) == 0) return true;
    return false;
}

// What the scan of the text learns of a TRACK line.
struct LineTrack {
    int number, line;
    int file;          // the FILE line it follows, counted from 0
    bool index1;       // an INDEX 01 follows it
    bool filebetween;  // a FILE line comes between it and its INDEX 01
};

// The sheet as the scan leaves it: the text handed to libcue (keywords,
// modes, file types and flags in upper case, every line ended by LF, a
// FILE line's unquoted name quoted), what it learns of the lines libcue
// keeps nothing of, and the first fault found, in words (line numbers are
// the sheet's own: one line in, one line out).
struct Scan {
    char *text = nullptr;
    int nfiles = 0;
    char types[maxfiles + 1][12];
    int ntracks = 0;
    LineTrack tracks[maxtracks + 1];
    bool used = false;   // a TRACK or INDEX line follows the last FILE line
    int fileline = 0;    // the last FILE line
    char fault[reasonmax] = {0};
};

void setfault(Scan &sc, const char *fmt, int line, const char *what = "")
{
    if (!sc.fault[0]) snprintf(sc.fault, sizeof sc.fault, fmt, line, what);
}

// The next word of a line from p: a run of bytes other than spaces and tabs,
// or a quoted string with its quotes. Empty at the end of the line.
size_t nextword(const char *&p, const char *end)
{
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    const char *w = p;
    if (p < end && *p == '"') {
        const char *q = static_cast<const char *>(memchr(p + 1, '"', size_t(end - p - 1)));
        p = q ? q + 1 : end;
    } else {
        while (p < end && *p != ' ' && *p != '\t') p++;
    }
    return size_t(p - w);
}

// A word in upper case into to (cut short at tolen - 1 bytes).
void upper(char *to, size_t tolen, const char *w, size_t len)
{
    size_t n = len < tolen - 1 ? len : tolen - 1;
    for (size_t i = 0; i < n; i++) to[i] = char(toupper(static_cast<unsigned char>(w[i])));
    to[n] = 0;
}

bool alldigits(const char *w, size_t len, size_t most)
{
    if (len == 0 || len > most) return false;
    for (size_t i = 0; i < len; i++)
        if (!isdigit(static_cast<unsigned char>(w[i]))) return false;
    return true;
}

// minutes:seconds:frames, as digits (their ranges are libcue's to judge).
bool istime(const char *w, size_t len)
{
    const char *end = w + len;
    for (int k = 0; k < 3; k++) {
        const char *p = w;
        while (w < end && isdigit(static_cast<unsigned char>(*w))) w++;
        if (w == p) return false;
        if (k < 2 && (w == end || *w++ != ':')) return false;
    }
    return w == end;
}

void emit(char *&out, const char *p, size_t len)
{
    memcpy(out, p, len);
    out += len;
}

// Scans one line (without its line end) into sc and out.
void scanline(Scan &sc, int lineno, const char *p, const char *end, char *&out)
{
    const char *w = p;
    size_t len = nextword(p, end);
    w = p - len;
    if (len == 0) return;
    char kw[16];
    upper(kw, sizeof kw, w, len);
    if (len >= sizeof kw) kw[0] = 0;
    if (among(kw, unread, sizeof unread / sizeof *unread)) return;
    LineTrack *cur = sc.ntracks > 0 ? &sc.tracks[sc.ntracks - 1] : nullptr;
    if (strcmp(kw, "FILE") == 0) {
        const char *last = end;
        while (last > p && (last[-1] == ' ' || last[-1] == '\t')) last--;
        const char *type = last;
        while (type > p && type[-1] != ' ' && type[-1] != '\t' && type[-1] != '"') type--;
        const char *name = p, *nameend = type;
        while (name < nameend && (*name == ' ' || *name == '\t')) name++;
        while (nameend > name && (nameend[-1] == ' ' || nameend[-1] == '\t')) nameend--;
        char tp[12];
        upper(tp, sizeof tp, type, size_t(last - type));
        if (name == nameend || type == last) {
            setfault(sc, "line %d: a FILE line needs a file name and a type, as in FILE \"track.bin\" BINARY", lineno);
        } else if (!among(tp, filetypes, sizeof filetypes / sizeof *filetypes)) {
            setfault(sc, "line %d: a FILE line ends in its type, BINARY for a disc's bytes, not '%s'", lineno, tp);
        }
        if (sc.nfiles > 0 && !sc.used) setfault(sc, "line %d: no TRACK or INDEX line follows its FILE line", sc.fileline);
        sc.used = false;
        sc.fileline = lineno;
        if (sc.nfiles <= maxfiles) snprintf(sc.types[sc.nfiles], sizeof sc.types[0], "%s", tp);
        sc.nfiles++;
        if (cur && !cur->index1) cur->filebetween = true;
        const bool quoted = nameend - name >= 2 && *name == '"' && nameend[-1] == '"';
        const bool quotable = !memchr(name, '"', size_t(nameend - name));
        emit(out, "FILE ", 5);
        if (!quoted && quotable) emit(out, "\"", 1);
        emit(out, name, size_t(nameend - name));
        if (!quoted && quotable) emit(out, "\"", 1);
        emit(out, " ", 1);
        emit(out, tp, strlen(tp));
        return;
    }
    const char *rest = p;
    size_t n1 = nextword(p, end);
    const char *a = p - n1;
    size_t n2 = nextword(p, end);
    const char *b = p - n2;
    const bool more = nextword(p, end) != 0;
    char word[40];
    if (strcmp(kw, "TRACK") == 0) {
        upper(word, sizeof word, b, n2);
        bool known = false;
        for (const ModeName &m : modenames) known |= strcmp(word, m.name) == 0;
        if (sc.nfiles == 0) setfault(sc, "line %d: a TRACK line comes before any FILE line", lineno);
        if (!alldigits(a, n1, 2) || atoi(a) < 1 || more)
            setfault(sc, "line %d: a TRACK line needs a number from 1 to 99 and a mode, as in TRACK 01 MODE2/2352", lineno);
        else if (!known)
            setfault(sc, "line %d: a track's mode is AUDIO, MODE1/2048, MODE1/2352, MODE2/2336, MODE2/2352, "
                         "MODE2/2048, MODE2/2324 or MODE2/2332, not '%s'", lineno, word);
        if (cur && !cur->index1) setfault(sc, "line %d: its track has no INDEX 01", cur->line);
        if (sc.ntracks > maxtracks)
            setfault(sc, "line %d: a disc holds 99 tracks at most", lineno);
        else
            sc.tracks[sc.ntracks] = {atoi(a), lineno, sc.nfiles - 1, false, false};
        sc.ntracks++;
        sc.used = true;
        emit(out, "TRACK ", 6);
        emit(out, a, n1);
        emit(out, " ", 1);
        emit(out, word, strlen(word));
        return;
    }
    if (strcmp(kw, "INDEX") == 0) {
        if (!cur) setfault(sc, "line %d: an INDEX line comes before any TRACK line", lineno);
        if (!alldigits(a, n1, 2) || !istime(b, n2) || more)
            setfault(sc, "line %d: an INDEX line needs a number and a time as minutes:seconds:frames, "
                         "as in INDEX 01 00:02:00", lineno);
        else if (cur && sc.ntracks <= maxtracks && atoi(a) == 1)
            cur->index1 = true;
        sc.used = true;
    } else if (strcmp(kw, "PREGAP") == 0 || strcmp(kw, "POSTGAP") == 0) {
        if (!istime(a, n1) || n2) setfault(sc, "line %d: a %s line needs a time as minutes:seconds:frames, "
                                               "as in PREGAP 00:02:00", lineno, kw);
    } else if (strcmp(kw, "FLAGS") == 0) {
        for (const char *q = rest; q < end;) {
            size_t n = nextword(q, end);
            upper(word, sizeof word, q - n, n);
            if (n && !among(word, flagwords, sizeof flagwords / sizeof *flagwords))
                setfault(sc, "line %d: a FLAGS line holds DCP, 4CH, PRE or SCMS, not '%s'", lineno, word);
        }
        emit(out, "FLAGS", 5);
        for (const char *q = rest; q < end;) {
            size_t n = nextword(q, end);
            upper(word, sizeof word, q - n, n);
            emit(out, " ", 1);
            emit(out, word, strlen(word));
        }
        return;
    } else {
        char shown[40];
        snprintf(shown, sizeof shown, "%.*s", int(len < 32 ? len : 32), w);
        setfault(sc, "line %d: '%s' is not a cue sheet command (FILE, TRACK, INDEX, PREGAP, FLAGS, REM, ...)",
                 lineno, shown);
        emit(out, w, size_t(end - w));
        return;
    }
    emit(out, kw, strlen(kw));
    emit(out, rest, size_t(end - rest));
}

// Scans the whole text; false when memory runs out.
bool scan(const char *text, Scan &sc)
{
    const size_t len = strlen(text);
    sc.text = static_cast<char *>(malloc(2 * len + 16));
    if (!sc.text) return false;
    char *out = sc.text;
    int lineno = 0;
    for (const char *line = text; *line;) {
        size_t n = strcspn(line, "\r\n");
        scanline(sc, ++lineno, line, line + n, out);
        *out++ = '\n';
        line += n;
        if (line[0] == '\r' && line[1] == '\n') line += 2;
        else if (*line) line++;
    }
    *out = 0;
    if (sc.nfiles > 0 && !sc.used) setfault(sc, "line %d: no TRACK or INDEX line follows its FILE line", sc.fileline);
    if (sc.ntracks > 0 && sc.ntracks <= maxtracks && !sc.tracks[sc.ntracks - 1].index1)
        setfault(sc, "line %d: its track has no INDEX 01", sc.tracks[sc.ntracks - 1].line);
    return true;
}

// Checks that the FILE lines are as many as the files libcue gave, each
// BINARY. libcue reads the type and keeps nothing of it, so this much is
// read from the scan.
bool checkfiletypes(const Scan &sc, const CueSheet &sheet, char *reason, size_t reasonlen)
{
    if (sc.nfiles != sheet.nfiles) {
        snprintf(reason, reasonlen, "does not parse: a FILE line libcue read otherwise");
        return false;
    }
    for (int i = 0; i < sc.nfiles; i++)
        if (strcmp(sc.types[i], "BINARY") != 0) {
            snprintf(reason, reasonlen, "lists %s as %s: only BINARY files hold a disc's bytes", sheet.files[i],
                     sc.types[i]);
            return false;
        }
    return true;
}

// Copies what the image layer needs from libcue's disc and the scan into
// sheet. Tracks are named by the sheet's own numbers.
bool readdisc(const Cd *cd, const Scan &sc, CueSheet &sheet, char *reason, size_t reasonlen)
{
    sheet.nfiles = 0;
    sheet.ntracks = cd_get_ntrack(cd);
    if (sheet.ntracks < 1) {
        snprintf(reason, reasonlen, "lists no track");
        return false;
    }
    if (sheet.ntracks > maxtracks) {
        snprintf(reason, reasonlen, "lists more than %d tracks", maxtracks);
        return false;
    }
    if (sheet.ntracks != sc.ntracks) {
        snprintf(reason, reasonlen, "does not parse: a TRACK line libcue read otherwise");
        return false;
    }
    const char *prevname = nullptr;
    long prevlength = 0;
    for (int i = 0; i < sheet.ntracks; i++) {
        const Track *t = cd_get_track(cd, i + 1);
        const char *name = t ? track_get_filename(t) : nullptr;
        CueTrack &ct = sheet.tracks[i];
        ct.number = sc.tracks[i].number;
        if (ct.number < 1 || ct.number > maxtracks) {
            snprintf(reason, reasonlen, "does not parse: line %d: a track's number is from 1 to 99, not %d",
                     sc.tracks[i].line, ct.number);
            return false;
        }
        if (!name || !name[0]) {
            snprintf(reason, reasonlen, "does not parse: track %d has no file", ct.number);
            return false;
        }
        // libcue leaves a track's length unknown when the next one starts
        // another FILE entry, even one of the same name.
        if (!prevname || strcmp(name, prevname) != 0 || prevlength == -1) {
            if (strlen(name) >= cuenamemax) {
                snprintf(reason, reasonlen, "names a file longer than %zu bytes", cuenamemax - 1);
                return false;
            }
            snprintf(sheet.files[sheet.nfiles++], cuenamemax, "%s", name);
        }
        prevname = name;
        prevlength = track_get_length(t);

        ct.file = sheet.nfiles - 1;
        long index0 = track_get_index(t, 0), index1 = track_get_start(t);
        if (index1 < 0) {
            snprintf(reason, reasonlen, "gives track %d no INDEX 01", ct.number);
            return false;
        }
        // An INDEX 00 before a FILE line, and the INDEX 01 after it: the
        // track's first sectors end the file before (as some rippers
        // write a split disc), counted in that file.
        ct.pregapbefore = sc.tracks[i].filebetween && index0 >= 0;
        ct.pregap = ct.pregapbefore ? index0 : 0;
        ct.start = !ct.pregapbefore && index0 >= 0 && index0 < index1 ? index0 : index1;
        ct.sectorsize = 0;
        for (const ModeName &m : modenames)
            if (m.mode == track_get_mode(t)) {
                ct.sectorsize = m.sectorsize;
                snprintf(ct.mode, sizeof ct.mode, "%s", m.name);
            }
        if (ct.sectorsize == 0) {
            snprintf(reason, reasonlen, "gives track %d a mode this program does not know", ct.number);
            return false;
        }
    }
    return true;
}

} // namespace

bool parsecue(const char *text, CueSheet &sheet, char *reason, size_t reasonlen)
{
    // A byte order mark, as some editors write, is no part of the sheet.
    if (strncmp(text, "\xef\xbb\xbf", 3) == 0) text += 3;

    Scan *sc = static_cast<Scan *>(malloc(sizeof(Scan)));
    if (sc) new (sc) Scan;
    if (!sc || !scan(text, *sc)) {
        if (sc) free(sc->text);
        free(sc);
        snprintf(reason, reasonlen, "cannot be read: out of memory");
        return false;
    }
    Catch c;
    startcatch(c);
    Cd *cd = cue_parse_string(sc->text);
    char said[reasonmax];
    bool complained = endcatch(c, said, sizeof said);
    bool ok = cd && !complained;
    if (!ok) {
        // libcue's own words ("bad character 'M'", "syntax error") say
        // little to a user; the scan's say which line and what it needs.
        if (sc->fault[0])
            snprintf(reason, reasonlen, "does not parse: %s", sc->fault);
        else if (said[0])
            snprintf(reason, reasonlen, "does not parse: %s", said);
        else
            snprintf(reason, reasonlen, "does not parse");
    }
    ok = ok && readdisc(cd, *sc, sheet, reason, reasonlen) && checkfiletypes(*sc, sheet, reason, reasonlen);
    if (cd) cd_delete(cd);
    free(sc->text);
    sc->~Scan();
    free(sc);
    return ok;
}

} // namespace disc
