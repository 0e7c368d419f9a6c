// zeminfo PATCH... --image IMAGE: the patches in order against one image,
// each judged against the image as the earlier ones leave it (read over the
// record index, src/explain/stacked), and the bytes of earlier ones that
// each writes over.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "infocore.hpp"
#include "tool.hpp"

namespace {

// Large: one of each for the whole run.
disc::Image stackimg;
explain::Stacked stack;

// Judges the steps; fails, saying why, when a file cannot be read.
bool judgesteps(const std::vector<const char *> &patches, const char *imagepath, std::vector<Input> &ins,
                std::vector<StepFacts> &steps, std::string &error)
{
    for (size_t k = 0; k < patches.size(); k++) {
        steps[k].pf.file = patches[k];
        if (!openinput(patches[k], ins[k], error) || !readpatch(ins[k], steps[k].pf, error)) return false;
    }
    ImageFacts base = ImageFacts();   // every fact zero until found
    base.file = imagepath;
    Input image = {-1, 0};
    if (!openimageinput(imagepath, stackimg, image, base, error)) return false;
    base.examined = true;
    const bool cue = disc::iscuesheet(imagepath);
    std::vector<int> fds, stepof;   // the steps Mavrin would apply, in order
    std::vector<zem::Area> areas;
    for (size_t k = 0; k < patches.size(); k++) {
        StepFacts &st = steps[k];
        if (!explain::stackpatches(stack, &stackimg, stackimg.size, fds, areas)) {
            error = std::string("reading the patches before ") + patches[k] + " failed: " + strerror(errno);
            return false;
        }
        st.imf = base;
        Input view = image;
        view.size = stack.size;
        view.stacked = &stack;
        if (cue) judgecueopen(imagepath, patches[k], st.imf);
        else judgeopen(imagepath, patches[k], st.imf);
        if (!walkrecords(ins[k], &view, st.pf, &st.imf, error)) return false;
        checkimage(ins[k], view, st.pf, st.imf);
        st.v = verdictof(st.pf, &st.imf);
        st.stacked = st.v != vdamaged && st.v != vunwritable;
        if (!fds.empty() && st.pf.damage == zem::flawnone) {
            zem::RecordIndex next;
            zem::flaw damage = zem::flawnone;
            if (next.addpatch(ins[k].fd, 0, st.pf.area, damage) != zem::stepend) {
                error = std::string("reading ") + patches[k] + " failed: " + strerror(errno ? errno : EIO);
                return false;
            }
            next.finish();
            const std::vector<explain::Overwritten> by = explain::overwrites(stack, next);
            for (size_t i = 0; i < by.size(); i++)
                if (by[i].bytes) st.overwrites.push_back({stepof[i], by[i].bytes, by[i].nruns, by[i].runs});
        }
        if (st.stacked) {
            fds.push_back(ins[k].fd);
            areas.push_back(st.pf.area);
            stepof.push_back(int(k));
        }
    }
    return true;
}

} // namespace

int runstack(bool asjson, const std::vector<const char *> &patches, const char *imagepath)
{
    std::string error;
    if (!cp437init(error)) return failrun(asjson, error);
    std::vector<Input> ins(patches.size(), Input{-1, 0});
    std::vector<StepFacts> steps(patches.size());
    bool ok;
    try {
        ok = judgesteps(patches, imagepath, ins, steps, error);
    } catch (const std::bad_alloc &) {
        ok = false;
        error = "no memory for the records of the patches";
    }
    for (Input &in : ins) closeinput(in);
    disc::closeimage(stackimg);
    stack = explain::Stacked();
    walkrelease();
    if (!ok) return failrun(asjson, error);
    tool::progressclear();

    // The stack's verdict: that of the first step that does not apply
    // cleanly, as the run of Mavrin after Mavrin meets it.
    int decides = -1;
    verdict v = vapplies;
    for (size_t k = 0; k < steps.size() && decides < 0; k++)
        if (steps[k].v != vapplies) v = steps[size_t(decides = int(k))].v;
    if (asjson) printstackjson(imagepath, steps, decides, v);
    else printstacktext(imagepath, steps, decides, v);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "zeminfo: writing the report failed: %s\n", strerror(errno));
        return exiterror;
    }
    return statusof(v);
}
