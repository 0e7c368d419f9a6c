// How much of a patch an image already holds; the same judgement for zemmake -u.
#include "explain.hpp"

applystate stateof(const PatchFacts &pf, const ImageFacts &imf)
{
    if (pf.damage != zem::flawnone || !imf.examined) return notapplied;
    if (imf.tochange == 0) return fullyapplied;
    // One record in a hundred or more, or the validation block: seldom by chance.
    if ((imf.inplace > 0 && imf.inplace * 100 >= pf.records) || imf.blockpatched) return partlyapplied;
    return notapplied;
}

bool judgeapplied(int patchfd, int64_t patchlen, const char *patchpath, const disc::Image &img,
                  AppliedFacts &af, std::string &error)
{
    static PatchFacts pf;   // the walk's facts are large; one run at a time
    static ImageFacts imf;
    pf = PatchFacts();
    imf = ImageFacts();
    pf.file = patchpath;
    imf.examined = true;
    imf.countonly = true;   // no sector's codes are asked about
    const Input patch = {patchfd, patchlen, nullptr}, image = {-1, img.size, &img};
    bool walked = readlayout(patch, pf, error) && walkrecords(patch, &image, pf, &imf, error);
    walkrelease();   // the caller goes on without the walk's memory
    if (!walked) return false;
    checkimage(patch, image, pf, imf);
    af.state = stateof(pf, imf);
    af.records = pf.records;
    af.inplace = imf.inplace;
    af.byteswritten = pf.byteswritten;
    af.held = pf.byteswritten - imf.tochange;
    af.writesnothing = pf.damage == zem::flawnone && pf.byteswritten == 0;
    af.madefor = pf.kind != zem::version2 || (imf.sizematches && imf.blockmatches);
    return true;
}
