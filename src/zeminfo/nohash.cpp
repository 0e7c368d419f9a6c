// The stand-in for hash.cpp, for a build without zlib and libcrypto (the web
// page): --hash is refused.
#include "infocore.hpp"

bool hashfacts(const disc::Image &, ImageFacts &, std::string &error)
{
    error = "--hash is not available in this build";
    return false;
}
