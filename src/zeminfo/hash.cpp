// zeminfo --hash: the image's CRC32, MD5 and SHA-1, by the image layer. A file
// of its own, so that zemmake, which shares the image checks, needs no
// libcrypto.
#include "infocore.hpp"
#include "tool.hpp"

bool hashfacts(const disc::Image &img, ImageFacts &imf, std::string &error)
{
    imf.filehashes.assign(size_t(img.nfiles), disc::Hashes());
    disc::ImageError err;
    if (!disc::hashimage(img, imf.hashes, imf.filehashes.data(), err)) {
        error = tool::imageerror(imf.file.c_str(), err);
        return false;
    }
    imf.hashed = true;
    return true;
}
