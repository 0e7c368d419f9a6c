// The FILE_ID.DIZ stage: finds the trailer of a version 2.0 patch and shows its text.
#include <cstring>

#include "runstate.hpp"

// Looks for ".DIZ" 8 bytes before the end of the patch. Prints the "no" line,
// or the "yes" line and the trailer text. Sets dizyn and dizlensave. The text
// is shown without its last seven bytes; a length that does not fit the file
// shows an empty line, one above the buffer shows what the buffer holds.
bool showdiz(RunState &rs)
{
    /* Tag */
    rs.dizyn = 0;
    bool tagged = rs.zemlen >= zem::diztagfromend &&
                  fseeko(rs.zemfile, -zem::diztagfromend, SEEK_END) == 0 &&
                  fread(rs.buffer, 1, zem::diztaglen, rs.zemfile) == size_t(zem::diztaglen) &&
                  std::memcmp(rs.buffer, ".DIZ", zem::diztaglen) == 0;
    if (!tagged) {
        printf("File_id.diz    : no\n\n");
        return true;
    }
    printf("File_id.diz    : yes, showing...\n");

    /* Length, then the text */
    unsigned char le[zem::dizlenlen] = {0};
    (void)fread(le, 1, sizeof le, rs.zemfile);
    rs.dizlen = zem::getle32(le);
    int64_t shown = 0;
    if (rs.dizlen >= 0 && rs.dizlen <= rs.zemlen - zem::diztextfromend) {
        int64_t readlen = rs.dizlen < zem::diztextmax ? rs.dizlen : zem::diztextmax;
        fseeko(rs.zemfile, -(int64_t(rs.dizlen) + zem::diztextfromend), SEEK_END);
        (void)fread(rs.diz, 1, size_t(readlen), rs.zemfile);
        shown = rs.dizlen - zem::dizhidden;
        if (shown < 0) shown = 0;
        if (shown > zem::diztextmax) shown = zem::diztextmax;
    }
    printf("%.*s\n", int(shown), rs.diz);   // stops at the first zero byte too

    rs.dizyn = 1;
    rs.dizlensave = rs.dizlen;
    return true;
}
