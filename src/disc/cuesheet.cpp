// Cue sheets read with libcue: the files and tracks the image layer needs.
#include "cuesheet.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libcue.h>
#include <sys/mman.h>
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
    int fd = memfd_create("cuesheet", MFD_CLOEXEC);
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
        off_t n = lseek(c.sink, 0, SEEK_CUR);
        said = n > 0;
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

// Finds the type word of each FILE line (the line's last word) and checks
// that there are as many such lines as files libcue gave, each BINARY.
// libcue reads the type and keeps nothing of it, so this much is read here;
// a line it makes no sense of is taken as a sheet that does not parse.
bool checkfiletypes(const char *text, const CueSheet &sheet, char *reason, size_t reasonlen)
{
    int nfile = 0;
    for (const char *line = text; *line;) {
        size_t len = strcspn(line, "\r\n");
        const char *p = line + strspn(line, " \t");
        const char *end = line + len;
        if (end - p > 4 && strncmp(p, "FILE", 4) == 0 && (p[4] == ' ' || p[4] == '\t')) {
            while (end > p && (end[-1] == ' ' || end[-1] == '\t')) end--;
            const char *word = end;
            while (word > p && word[-1] != ' ' && word[-1] != '\t') word--;
            size_t wordlen = size_t(end - word);
            bool known = false;
            for (const char *t : filetypes) known |= strlen(t) == wordlen && strncmp(word, t, wordlen) == 0;
            if (!known || nfile >= sheet.nfiles) {
                snprintf(reason, reasonlen, "does not parse: a FILE line libcue read otherwise");
                return false;
            }
            if (strncmp(word, "BINARY", wordlen) != 0) {
                snprintf(reason, reasonlen, "lists %s as %.*s: only BINARY files hold a disc's bytes",
                         sheet.files[nfile], int(wordlen), word);
                return false;
            }
            nfile++;
        }
        line += len;
        line += strspn(line, "\r\n");
    }
    if (nfile != sheet.nfiles) {
        snprintf(reason, reasonlen, "does not parse: a FILE line libcue read otherwise");
        return false;
    }
    return true;
}

// Copies what the image layer needs from libcue's disc into sheet.
bool readdisc(const Cd *cd, CueSheet &sheet, char *reason, size_t reasonlen)
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
    const char *prevname = nullptr;
    long prevlength = 0;
    for (int i = 0; i < sheet.ntracks; i++) {
        const Track *t = cd_get_track(cd, i + 1);
        const char *name = t ? track_get_filename(t) : nullptr;
        if (!name || !name[0]) {
            snprintf(reason, reasonlen, "does not parse: track %d has no file", i + 1);
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

        CueTrack &ct = sheet.tracks[i];
        ct.file = sheet.nfiles - 1;
        long index0 = track_get_index(t, 0), index1 = track_get_start(t);
        if (index1 < 0) {
            snprintf(reason, reasonlen, "gives track %d no INDEX 01", i + 1);
            return false;
        }
        ct.start = index0 >= 0 && index0 < index1 ? index0 : index1;
        ct.sectorsize = 0;
        for (const ModeName &m : modenames)
            if (m.mode == track_get_mode(t)) {
                ct.sectorsize = m.sectorsize;
                snprintf(ct.mode, sizeof ct.mode, "%s", m.name);
            }
        if (ct.sectorsize == 0) {
            snprintf(reason, reasonlen, "gives track %d a mode this program does not know", i + 1);
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

    Catch c;
    startcatch(c);
    Cd *cd = cue_parse_string(text);
    char said[reasonmax];
    bool complained = endcatch(c, said, sizeof said);
    if (!cd || complained) {
        if (cd) cd_delete(cd);
        if (said[0])
            snprintf(reason, reasonlen, "does not parse: %s", said);
        else
            snprintf(reason, reasonlen, "does not parse");
        return false;
    }
    bool ok = readdisc(cd, sheet, reason, reasonlen);
    cd_delete(cd);
    return ok && checkfiletypes(text, sheet, reason, reasonlen);
}

} // namespace disc
