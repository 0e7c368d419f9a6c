// zeminfo: explains a ZEM patch, and why an image does or does not fit it.
#include "zeminfo.hpp"

int main(int argc, char **argv)
{
    return zeminfomain(argc, argv);
}
