// The FILE_ID.DIZ stage: finds the trailer of a version 2.0 patch and shows its text.
#include "runstate.hpp"

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
    printf("%.*s\n", int(text.shown), rs.diz);   // stops at the first zero byte too

    rs.dizyn = 1;
    rs.dizlensave = rs.dizlen;
    return true;
}
