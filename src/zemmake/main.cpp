// zemmake: writes a ZEM patch from an original image and a modified one, or an undo patch.
#include <csignal>

#include "zemmake.hpp"

int main(int argc, char **argv)
{
    // A patch past the file size limit must fail with a message, not kill us.
    signal(SIGXFSZ, SIG_IGN);
    // Any other signal that ends us removes the half-written patch first.
    catchsignals();
    return zemmakemain(argc, argv);
}
