// The FILE_ID.DIZ stage: finds the trailer of a version 2.0 patch and shows
// its text; how texts from a patch are printed.
#include "runstate.hpp"
#include "zemtext.hpp"

// To a terminal, a patch from a stranger could send escape sequences: set
// the window title, or hide the questions behind concealed text. There its
// control characters, but for tab, newline and carriage return, are shown as
// DOS glyphs. Anywhere else (a pipe, a file) the bytes go out as stored, so
// scripts and logs see what they always saw.
void showtext(const RunState &rs, const char *p, long n)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(p);
    long from = 0, i = 0;   // [from, i) is yet to be printed as it is
    while (i < n && u[i] != 0) {
        const char *glyph = nullptr;
        long len = 1;
        if (rs.toterminal && u[i] != '\t' && u[i] != '\n' && u[i] != '\r') glyph = zem::controlglyph(u[i]);
        if (rs.toterminal && zem::c1at(u + i, n - i)) {
            glyph = zem::c1glyph;
            len = zem::c1len;
        }
        if (!glyph) {
            i++;
            continue;
        }
        fwrite(p + from, 1, size_t(i - from), stdout);
        fputs(glyph, stdout);
        i += len;
        from = i;
    }
    fwrite(p + from, 1, size_t(i - from), stdout);
}

// Looks for ".DIZ" 8 bytes before the end of the patch. Prints the "no" line,
// or the "yes" line and the trailer text. Sets dizyn and dizlensave. The text
// is shown without its last seven bytes; a length that does not fit the file
// shows an empty line, one above the buffer shows what the buffer holds.
bool showdiz(RunState &rs)
{
    /* Tag */
    unsigned char tail[zem::diztagfromend] = {0};
    rs.dizyn = 0;
    if (rs.zemlen >= zem::diztagfromend && fseeko(rs.zemfile, -zem::diztagfromend, SEEK_END) == 0)
        (void)fread(tail, 1, sizeof tail, rs.zemfile);
    zem::Trailer trailer = zem::findtrailer(tail, rs.zemlen);
    if (!trailer.present) {
        printf("File_id.diz    : no\n\n");
        return true;
    }
    printf("File_id.diz    : yes, showing...\n");

    /* The text */
    rs.dizlen = trailer.len;
    zem::TrailerText text = zem::trailertext(trailer, rs.zemlen);
    if (text.readlen > 0 && fseeko(rs.zemfile, text.at, SEEK_SET) == 0)
        (void)fread(rs.diz, 1, size_t(text.readlen), rs.zemfile);
    showtext(rs, rs.diz, text.shown);
    printf("\n");

    rs.dizyn = 1;
    rs.dizlensave = rs.dizlen;
    return true;
}
