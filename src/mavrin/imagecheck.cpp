// The image checks: is this the image a version 2.0 patch was made for?
#include <cstring>
#include <unistd.h>

#include "runstate.hpp"

// Prints a question, reads exactly one character and says whether it was
// 'y' or 'Y'. The rest of a typed line stays pending for the next question.
static bool askcontinue(RunState &rs, const char *question)
{
    printf("%s", question);
    fflush(stdout);
    int c = getchar();
    rs.in = c == EOF ? 0 : (unsigned char)c;
    return c == 'y' || c == 'Y';
}

// Ends the run after a refused question; the image was not written.
static bool refuse(RunState &rs)
{
    endrun(rs);
    printf("\nAborted...\n");
    return false;
}

// Compares the image's size with the size the patch stores, then the image's
// bytes at its block offset with the patch's validation block. Each failed
// test asks whether to go on; a refusal ends the run.
bool checkimage(RunState &rs)
{
    /* Size */
    unsigned char le[zem::imagesizelen] = {0};
    fseeko(rs.zemfile, zem::imagesizepos, SEEK_SET);
    (void)fread(le, 1, sizeof le, rs.zemfile);
    rs.dizlen = zem::getle32(le);   // the text length lives on in dizlensave
    disc::Image &img = rs.image;
    if (!img.cue) {   // one file: its size now
        off_t end = lseek(img.files[0].fd, 0, SEEK_END);
        rs.binlen = end;
        if (end >= 0) img.size = img.files[0].size = end;
    } else {
        rs.binlen = img.size;   // the track files' sizes added up
    }
    if ((rs.binlen < 0 || rs.binlen != rs.dizlen) &&
        !askcontinue(rs, "The size of the BIN file isnt correct\nCONTINUE though? (y/n): "))
        return refuse(rs);

    /* Content: short reads compare against the zero fill */
    fseeko(rs.zemfile, zem::checkblockpos, SEEK_SET);
    (void)fread(rs.zemblock, 1, zem::checkblocklen, rs.zemfile);
    (void)disc::readimage(img, rs.binblock, zem::checkblocklen, zem::imageblockpos);
    if (std::memcmp(rs.zemblock, rs.binblock, zem::checkblocklen) != 0 &&
        !askcontinue(rs, "The BINfile does not seem to be the right one\n"
                         "CONTINUE though? (Suggestion: NO) (y/n): "))
        return refuse(rs);
    return true;
}
