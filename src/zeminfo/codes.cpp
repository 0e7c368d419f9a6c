// zeminfo --codes: the EDC, P and Q of every data sector of an image.
#include <cerrno>
#include <cstring>

#include "cdscan.hpp"
#include "infocore.hpp"
#include "tool.hpp"

// The tracks of the runs of kind k: "track 2", "tracks 2, 4".
static std::string tracksof(const disc::Image &img, const cd::SectorMap &map, cd::Run k)
{
    std::string list;
    int n = 0;
    for (int r = 0; r < map.nruns; r++)
        if (map.runs[r].kind == k && map.runs[r].track >= 0)
            list += (n++ ? ", " : "") + std::to_string(img.tracks[map.runs[r].track].number);
    return (n == 1 ? "track " : "tracks ") + list;
}

bool checkallcodes(const Input &image, CodesFacts &cf, std::string &error)
{
    static cd::SectorMap map;
    const disc::Image &img = *image.img;
    cd::mapsectors(img, image.size, map);
    cf.size = image.size;
    cf.sectors = map.nsectors;
    cf.audio = map.counts[int(cd::Run::audio)];
    cf.nocodes = map.counts[int(cd::Run::cooked)];
    if (cf.audio) cf.audiotracks = tracksof(img, map, cd::Run::audio);
    if (cf.nocodes) cf.nocodestracks = tracksof(img, map, cd::Run::cooked);
    auto use = [&cf](cd::ScanBlock &b) {
        tool::progress("checking the codes of every sector", b.first + b.n, cf.sectors);
        for (long i = 0; i < b.n; i++) {
            const cd::Codes &c = b.codes[i];
            const int64_t s = b.first + i;
            cf.kinds[int(c.kind)]++;
            if (c.kind == cd::Kind::none) continue;
            if (c.noedc) {
                note(cf.noedc, cf.noedcfirst, s);
                continue;
            }
            if (c.edcright) cf.edcright++;
            else note(cf.edcbroken, cf.edcfirst, s);
            if (cd::layoutof(c.kind).ecc) {
                if (c.eccright) cf.eccright++;
                else note(cf.eccbroken, cf.eccfirst, s);
            }
            if (!c.right()) cf.codesbroken++;
        }
        return true;
    };
    if (cd::scansectors(img, map, nullptr, use)) return true;
    error = "reading " + cf.file + " failed: " + strerror(errno);
    return false;
}
