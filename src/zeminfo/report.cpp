// zeminfo: the verdict, and the two reports: words for a user, or JSON.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cdsector.hpp"
#include "infocore.hpp"

using json = nlohmann::ordered_json;

namespace {

// Whether Mavrin asks about the size, or about the validation block.
bool askssize(const PatchFacts &pf, const ImageFacts &imf)
{
    return pf.kind == zem::version2 && !imf.sizematches;
}
bool asksblock(const PatchFacts &pf, const ImageFacts &imf)
{
    return pf.kind == zem::version2 && !imf.blockmatches;
}

// Whether a run of the patch that stopped part way explains the size: the
// records lengthen the image, and it lies between the size made for and
// the size they give it.
bool sizegrown(const PatchFacts &pf, const ImageFacts &imf)
{
    return pf.imagesize >= 0 && imf.size > pf.imagesize && imf.size <= pf.highest + 1;
}

} // namespace

verdict verdictof(const PatchFacts &pf, const ImageFacts *imf)
{
    // What Mavrin meets first: it opens both files before it reads a byte.
    if (imf && !imf->writable) return vunwritable;
    if (pf.damage != zem::flawnone) return vdamaged;
    if (!imf) return vsound;
    // Decided first: an applied patch that rewrites the validation block or
    // grows the image leaves an image that Mavrin's tests no longer accept.
    applystate state = stateof(pf, *imf);
    if (state == fullyapplied) return vapplied;
    bool asks = askssize(pf, *imf) || asksblock(pf, *imf);
    // Partly applied: the questions must be ones the patch's own changes explain.
    if (state == partlyapplied && !asks) return vpartly;
    if (state == partlyapplied && (!askssize(pf, *imf) || sizegrown(pf, *imf)) &&
        (!asksblock(pf, *imf) || imf->blockpatched))
        return vpartlyasks;
    return asks ? vasks : vapplies;
}

const char *verdictname(verdict v)
{
    switch (v) {
    case verror: return "error";
    case vdamaged: return "damaged";
    case vsound: return "sound";
    case vapplies: return "applies";
    case vasks: return "asks";
    case vapplied: return "applied";
    case vcodesright: return "codes_right";
    case vcodeswrong: return "codes_wrong";
    case vpartly:
    case vpartlyasks: return "partly";
    case vunwritable: return "unwritable";
    }
    return "error";
}

int statusof(verdict v)
{
    switch (v) {
    case vsound:
    case vapplies:
    case vpartly: return exitapplies;
    case vasks:
    case vpartlyasks: return exitasks;
    case vapplied: return exitapplied;
    case vcodesright: return exitapplies;
    case vcodeswrong: return exitcodeswrong;
    default: return exiterror;
    }
}

namespace {

// The layout as the JSON report names it; null for none known.
const char *layoutname(layout l)
{
    switch (l) {
    case layoutraw: return "raw";
    case layoutiso1: return "iso-mode1";
    case layoutiso2: return "iso-mode2";
    case layout2336: return "raw-2336";
    case layout2448: return "raw-2448";
    case layoutshifted: return "shifted";
    case layoutnone: return "none";
    default: return nullptr;
    }
}

// A number in digits.
std::string num(int64_t n)
{
    return std::to_string(n);
}

// "1 sector" or "n sectors".
std::string count(int64_t n, const char *word)
{
    return num(n) + " " + word + (n == 1 ? "" : "s");
}

// The size in bytes and in 2352-byte sectors.
std::string sizewords(int64_t n)
{
    std::string s = count(n, "byte") + " (" + count(n / zem::sectorlen, "sector");
    if (n % zem::sectorlen) s += " and " + count(n % zem::sectorlen, "byte");
    return s + ")";
}

// Whether the records reach past size bytes.
bool grows(const PatchFacts &pf, int64_t size)
{
    return pf.highest >= size;
}

// Whether the patch stores an image size that an image can have. Mavrin
// compares it with the image's size all the same: a negative one never
// matches, so it asks about the size for every image.
bool sizevalid(const PatchFacts &pf)
{
    return pf.hasimagesize && pf.imagesize >= 0;
}

// "n things do" or "1 thing does", with the verb in both forms.
std::string agree(int64_t n, const char *word, const char *one, const char *many)
{
    return count(n, word) + " " + (n == 1 ? one : many);
}

// The descriptor fields in words, on one line.
std::string volumewords(const Volume &v)
{
    if (!v.valid) return "not an ISO 9660 volume descriptor";
    std::string s;
    if (v.mode) s = "Mode " + num(v.mode) + " disc, ";
    s += "system \"" + std::string(v.systemcut ? "…" : "") + oneline(v.system) + "\", volume \"" +
         oneline(v.volume) + "\", " + count(v.spacesize, "block") + " of 2048 bytes, created " +
         (v.created.empty() ? "(not set)" : oneline(v.created));
    return s;
}

// The descriptor fields as a JSON object, or null when there are none.
json volumejson(const Volume &v)
{
    if (!v.valid) return nullptr;
    return {{"mode", v.mode ? json(v.mode) : json(nullptr)},
            {"system", v.system},
            {"system_cut", v.systemcut},
            {"volume", v.volume},
            {"space_size", v.spacesize},
            {"created", v.created.empty() ? json(nullptr) : json(v.created)}};
}

// " (sectors a, b, ...)" for the first of n sectors; nothing when n is 0.
std::string sectorlist(int64_t n, const int64_t *first)
{
    std::string s;
    for (int64_t i = 0; i < n && i < namedsectors; i++)
        s += (i ? ", " : n == 1 ? " (sector " : " (sectors ") + num(first[i]);
    if (n > namedsectors) s += ", ...";
    return n ? s + ")" : s;
}

// The first of n sectors as a JSON array.
json sectorarray(int64_t n, const int64_t *first)
{
    json a = json::array();
    for (int64_t i = 0; i < n && i < namedsectors; i++) a.push_back(first[i]);
    return a;
}

// Prints one line of the words report: the label, then the text.
void line(const char *label, const std::string &text)
{
    printf("%-15s: %s\n", label, text.c_str());
}

// Where the validation block lies, and what that says of the image.
std::string layoutwords(const ImageFacts &imf)
{
    std::string at = "found at offset " + num(zem::imageblockpos + imf.shift) + ", not " +
                     num(zem::imageblockpos) + ": ";
    if (imf.blockpatched)
        return "holds at offset " + num(zem::imageblockpos) +
               " the bytes the patch leaves there, not those it was made for: the patch is applied "
               "to this image, or partly";
    switch (imf.where) {
    case layoutraw: return "matches at offset " + num(zem::imageblockpos);
    case layoutiso2:
        return at + "this image is an ISO (2048-byte sectors) of the Mode 2 disc the patch was "
                    "made for; it needs a raw image of 2352-byte sectors";
    case layoutiso1:
        return at + "this image is an ISO (2048-byte sectors) of the Mode 1 disc the patch was "
                    "made for; it needs a raw image of 2352-byte sectors";
    case layout2336:
        return at + "this image has 2336-byte sectors (no sync and header); the patch needs "
                    "2352-byte sectors";
    case layout2448:
        return at + "this image has 2448-byte sectors (with subchannel data); the patch needs "
                    "2352-byte sectors";
    case layoutshifted: {
        int64_t n = imf.shift < 0 ? -imf.shift : imf.shift;
        std::string s = at + "the image is shifted by " + count(n, "byte");
        if (n % zem::sectorlen == 0) s += " (" + count(n / zem::sectorlen, "sector") + ")";
        s += imf.shift > 0 ? " towards its end" : " towards its start";
        if (imf.shift > 0 && imf.shift % zem::sectorlen == 0) s += ": a pregap?";
        return s;
    }
    default: return "not found: another disc, or another revision of it";
    }
}

// The file name without its folders: a cue sheet's files lie beside it.
std::string basename(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A cue sheet's files and tracks, a line each; with records, how many of the
// patch's records write into each track.
void printlayout(const ImageFacts &imf, bool records)
{
    if (!imf.cue) return;
    line("Cue sheet", count(int64_t(imf.files.size()), "track file") + ", " +
                          count(int64_t(imf.tracks.size()), "track") +
                          ": the image is the files' bytes in order, as merging them would give");
    for (const TrackFacts &t : imf.tracks) {
        char label[16];
        snprintf(label, sizeof label, "Track %02d", t.number);
        std::string s = oneline(basename(imf.files[size_t(t.file)])) + ", " + oneline(t.mode) + ", " +
                        count(t.size, "byte") + " from image offset " + num(t.first);
        if (records) s += ", " + count(t.records, "record") + " writing into it";
        line(label, s);
    }
}

// The hashes of each file and of the whole image, a line for each kind, as
// dump lists give them.
void printhashes(const ImageFacts &imf)
{
    if (!imf.hashed) return;
    auto pick = [](const disc::Hashes &h, int k) -> const char * { return k == 0 ? h.crc32 : k == 1 ? h.md5 : h.sha1; };
    const char *labels[] = {"CRC32", "MD5", "SHA-1"};
    for (int k = 0; k < 3; k++) {
        if (!imf.cue) {
            line(labels[k], pick(imf.hashes, k));
            continue;
        }
        for (size_t i = 0; i <= imf.files.size(); i++) {
            const bool whole = i == imf.files.size();
            const std::string s = std::string(pick(whole ? imf.hashes : imf.filehashes[i], k)) + "  " +
                                  (whole ? std::string("(the whole image)") : oneline(basename(imf.files[i])));
            if (i == 0) line(labels[k], s);
            else printf("%-15s  %s\n", "", s.c_str());
        }
    }
}

// Hashes as a JSON object.
json hashjson(const disc::Hashes &h)
{
    return {{"crc32", h.crc32}, {"md5", h.md5}, {"sha1", h.sha1}};
}

// The keys of the image object that describe it as one file or a cue sheet:
// "cue", "tracks" (with the records of each, when counted), "split_of",
// "records_beyond" (when counted) and "hashes".
void layoutjson(json &i, const ImageFacts &imf, bool records)
{
    i["cue"] = imf.cue ? json(imf.file) : json(nullptr);
    json tracks = nullptr;
    for (const TrackFacts &t : imf.tracks) {
        json tj = {{"number", t.number},
                   {"file", imf.files[size_t(t.file)]},
                   {"mode", t.mode},
                   {"size", t.size},
                   {"first", t.first},
                   {"records", records ? json(t.records) : json(nullptr)}};
        tj["hashes"] = imf.hashed ? hashjson(imf.filehashes[size_t(t.file)]) : json(nullptr);
        tracks.push_back(tj);
    }
    i["tracks"] = tracks;
    i["split_of"] = imf.split ? json(imf.splitdump.cuepath) : json(nullptr);
    i["records_beyond"] = imf.split && records ? json(imf.recordsbeyond) : json(nullptr);
    i["hashes"] = imf.hashed ? hashjson(imf.hashes) : json(nullptr);
}

// What to answer to each question Mavrin asks when given one track file of
// a split dump, with the words that say it: 'y', 'n', or 0 where it does
// not ask. Each answer stands on its own, as if the one before were y.
struct SplitAdvice {
    char size, block;
    std::string words;
};

// The first question Mavrin asks, and that it must be answered n; or, for
// a version 1.0 patch, that Mavrin must not be given the file at all.
std::string refusewords(const PatchFacts &pf, const ImageFacts &imf)
{
    if (askssize(pf, imf)) return "answer n when Mavrin asks about the size on this file";
    if (asksblock(pf, imf)) return "answer n when Mavrin asks about the validation block on this file";
    return "do not give this file to Mavrin, which would ask nothing";
}

SplitAdvice splitadvice(const PatchFacts &pf, const ImageFacts &imf)
{
    const disc::SplitDump &d = imf.splitdump;
    const std::string cue = oneline(d.cuepath);
    SplitAdvice a = {askssize(pf, imf) ? 'n' : '\0', asksblock(pf, imf) ? 'n' : '\0', ""};
    a.words = "this file is track file " + num(d.file + 1) + " of " + num(d.nfiles) + " of " + cue +
              ", starting at byte " + num(d.first) + " of the image it describes";
    if (pf.kind == zem::version2 && imf.sizematches && imf.blockmatches) {
        a.words += "; the patch was made for this file alone: patch it as it is";
        return a;
    }
    if (imf.recordsbeyond > 0) {
        a.words += "; " + agree(imf.recordsbeyond, "record", "writes", "write") +
                   " past its end, into the files after it: pass " + cue + " as the image, and " +
                   refusewords(pf, imf) + " (the records would go into the wrong file)";
        return a;
    }
    if (d.first != 0) {
        a.words += "; the patch's offsets count from the start of that image, not of this file, so its "
                   "records would land in the wrong places: pass " + cue + " as the image, and " +
                   refusewords(pf, imf);
        return a;
    }

    /* Every record writes within the file, where it lies in the sheet's image */
    a.words += "; every record writes within it, at the offsets it has in that image: ";
    if (pf.kind != zem::version2) {
        a.words += "Mavrin patches it correctly, asking nothing; or pass " + cue + " as the image";
        return a;
    }
    std::string sizewhy = "the size: this file is only part of that image";
    std::string blockwhy;
    if (a.size) a.size = 'y';
    if (a.block && imf.blockpatched) {
        a.block = 'y';
        blockwhy = "the validation block: it holds the bytes the patch leaves there, so the patch is "
                   "applied to this file, or partly";
    } else if (a.block && imf.size >= zem::imageblockpos + zem::checkblocklen) {
        blockwhy = "the validation block: this file holds it, and its bytes differ from those the patch "
                   "was made for: another disc, or another revision of it";
    } else if (a.block) {
        const std::string past = "the validation block: it " +
                                 std::string(imf.size <= zem::imageblockpos ? "lies past this file's end, in "
                                                                            : "runs past this file's end, into ") +
                                 oneline(basename(imf.dumpblockfile)) +
                                 ", so Mavrin compares it here with zeros, ";
        if (imf.dumpblock == 1) a.block = 'y';
        blockwhy = imf.dumpblock == 1 ? past + "which cannot match; in " + cue + "'s image it matches"
                   : imf.dumpblock == 0
                       ? past + "and in " + cue + "'s image it differs from the bytes the patch was made "
                                                  "for: another disc, or another revision of it"
                       : past + "and " + cue + " cannot be read to compare it";
    }
    auto answer = [](char c, const std::string &why) { return std::string(1, c) + " (" + why + ")"; };
    if (a.size && a.block)
        a.words += "Mavrin asks two questions: answer " + answer(a.size, sizewhy) + " to the first, and " +
                   answer(a.block, blockwhy) + " to the second";
    else if (a.size)
        a.words += "Mavrin asks only about the size, since the validation block, which this file holds, "
                   "matches: answer " + answer(a.size, sizewhy);
    else
        a.words += "Mavrin asks only about the validation block: answer " + answer(a.block, blockwhy);
    if (a.block == 'n') a.words += "; Mavrin then stops, changing nothing";
    else a.words += "; or pass " + cue + " as the image";
    return a;
}

// An answer in the JSON report: "y", "n", or null where Mavrin does not ask.
json answerjson(char c)
{
    return c ? json(std::string(1, c)) : json(nullptr);
}

} // namespace

void printtext(const PatchFacts &pf, const ImageFacts *imf, verdict v)
{
    /* The patch */
    line("Patch", oneline(pf.file));
    line("Version", pf.kind == zem::version1 ? "ZEM1.0 (encoding method 0)" : "ZEM2.0 (encoding method 1)");
    line("Description", oneline(pf.description));
    if (pf.kind == zem::version2) {
        line("File_id.diz", pf.hasdiz ? "yes" : "no");
        std::string diz = forterminal(pf.diz);
        if (!diz.empty() && diz.back() == '\n') diz.pop_back();   // its last line ended
        for (size_t at = 0; pf.hasdiz && at <= diz.size();) {
            size_t nl = diz.find('\n', at);
            if (nl == std::string::npos) nl = diz.size();
            printf("  %s\n", diz.substr(at, nl - at).c_str());
            at = nl + 1;
        }
        if (sizevalid(pf)) line("Made for", "an image of " + sizewords(pf.imagesize));
        else
            line("Made for", "no image: the stored size, " + num(pf.imagesize) +
                                 ", is invalid; Mavrin will ask about the size for every image");
        line("Volume", volumewords(pf.volume));
    }
    if (pf.damage != zem::flawnone) {
        std::string where = pf.damageat >= 0 ? "at patch offset " + num(pf.damageat) + ": " : "";
        line("Damaged", "yes, " + where + zem::describe(pf.damage));
        line("Records", agree(pf.records, "record", "fits", "fit") + " before the damage");
    } else {
        line("Damaged", "no");
        std::string r = count(pf.records, "record") + ", " + count(pf.databytes, "data byte");
        if (pf.highest >= 0)
            r += ", writing " + count(pf.byteswritten, "byte") + " from image offset " +
                 num(pf.lowest) + " to " + num(pf.highest) + " in " + count(pf.sectors, "sector");
        line("Records", r);
        line("Overlaps", pf.overlap ? "yes: some bytes are written twice, the later record wins" : "no");
        if (sizevalid(pf))
            line("Grows image", grows(pf, pf.imagesize) ? "yes, to " + count(pf.highest + 1, "byte") : "no");
    }

    /* The image */
    const std::string named = imf && !imf->openfailed.empty() ? imf->openfailed : imf ? imf->file : "";
    const std::string mavrinsays = imf ? "Mavrin prints \"File " + oneline(named) + " does not exist.\"" : "";
    if (imf) {
        printf("\n");
        line("Image", oneline(imf->file));
        if (!imf->writable) line("Writable", "no: " + oneline(imf->unwritable) + "; " + mavrinsays + " and stops");
        printlayout(*imf, pf.damage == zem::flawnone);
    }
    if (imf && imf->examined) {
        if (pf.kind == zem::version2) {
            int64_t d = imf->size - pf.imagesize;
            std::string s = "matches, " + count(imf->size, "byte");
            if (!sizevalid(pf)) {
                s = count(imf->size, "byte") + "; the size the patch stores is invalid, so Mavrin asks "
                                               "about it";
            } else if (d != 0) {
                int64_t n = d < 0 ? -d : d;
                s = "differs: " + count(imf->size, "byte") + ", made for " + num(pf.imagesize) +
                    ": " + count(n, "byte");
                if (n % zem::sectorlen == 0) s += " (" + count(n / zem::sectorlen, "sector") + ")";
                s += d < 0 ? " shorter" : " longer";
            }
            line("Size", s);
            line("Validation", layoutwords(*imf));
            if (imf->where == layoutnone) {
                line("Volume (patch)", volumewords(pf.volume));
                line("Volume (image)", volumewords(imf->volume));
            }
        } else {
            line("Size", count(imf->size, "byte") + " (a version 1.0 patch does not say which image it is for)");
        }
        if (pf.damage == zem::flawnone) {
            int64_t held = pf.byteswritten - imf->tochange;
            std::string s;
            applystate state = stateof(pf, *imf);
            if (state == fullyapplied) {
                s = "already applied: every byte the patch writes holds its value";
            } else if (state == partlyapplied) {
                s = "partly applied: ";
                if (imf->blockpatched) s += "the validation block is as the patch leaves it; ";
                if (imf->inplace > 0)
                    s += num(imf->inplace) + " of " + count(pf.records, "record") +
                         (imf->inplace == 1 ? " already holds its bytes (" : " already hold their bytes (") +
                         num(held) + " of " + count(pf.byteswritten, "byte") + ")";
                else
                    s += num(held) + " of the " + count(pf.byteswritten, "byte") +
                         " the patch writes already hold their values";
            } else if (pf.byteswritten == 1) {   // and so it differs
                s = "not applied: the one byte the patch writes differs";
            } else {
                s = "not applied: " + num(imf->tochange) + " of the " + count(pf.byteswritten, "byte") +
                    " the patch writes " + (imf->tochange == 1 ? "differs" : "differ");
            }
            if (grows(pf, imf->size)) s += "; it grows the image to " + count(pf.highest + 1, "byte");
            line("State", s);
            // A version 1.0 patch says nothing of its image: the sectors it writes into must.
            if (pf.kind == zem::version1 && imf->wholesectors > 0 && imf->rawsectors == 0)
                line("Sectors", "none of the " + count(imf->wholesectors, "sector") +
                                    " written into is a raw CD data sector (sync pattern, Mode 1 or "
                                    "2): is this a raw image of 2352-byte sectors?");
            std::string e = agree(imf->edcright, "sector", "written into has", "written into have") +
                            " a right EDC now";
            if (imf->edcright == 0) e = "no sector written into has a right EDC now (none to keep)";
            else {
                if (imf->edcright > 1) e += "; the patch leaves " + num(imf->edcbroken) + " of them wrong";
                else e += imf->edcbroken ? "; the patch leaves it wrong" : "; the patch keeps it right";
                for (int i = 0; i < imf->edcbroken && i < namedsectors; i++)
                    e += (i ? ", " : imf->edcbroken == 1 ? " (sector " : " (sectors ") + num(imf->broken[i]);
                if (imf->edcbroken > namedsectors) e += ", ...";
                if (imf->edcbroken > 0)
                    e += "): it works in most emulators but fails on hardware and in strict tools";
            }
            line("EDC", e);

            /* P and Q, and the codes the patch leaves */
            std::string q = count(imf->eccright, "sector") + " written into " +
                            (imf->eccright == 1 ? "has" : "have") + " right P and Q now";
            if (imf->eccright == 0) q = "no Mode 1 or Form 1 sector written into has right P and Q now";
            else q += "; the patch leaves " + num(imf->eccbroken) + " of them wrong" +
                      sectorlist(imf->eccbroken, imf->eccfirst);
            line("ECC", q);
            std::string c = imf->codesbroken == 0
                                ? std::string("every data sector it writes into is left with right codes")
                                : "the patch leaves " + count(imf->codesbroken, "data sector") +
                                      " with a wrong EDC or ECC; once it is applied, "
                                      "zemmake -r -p PATCH IMAGE REPAIRFILE makes a patch that repairs them";
            if (imf->noedc > 0)
                c += "; " + count(imf->noedc, "sector") + " with no EDC (zero: not computed) left as " +
                     (imf->noedc == 1 ? "it is" : "they are");
            line("Codes", c);
        }
    }

    if (imf && imf->examined) printhashes(*imf);
    if (imf && imf->examined && imf->split && pf.damage == zem::flawnone) line("Split dump", splitadvice(pf, *imf).words);

    const std::string words = verdictwords(pf, imf, v);
    if (!words.empty()) line("Verdict", words);
}

std::string verdictwords(const PatchFacts &pf, const ImageFacts *imf, verdict v)
{
    const std::string named = imf && !imf->openfailed.empty() ? imf->openfailed : imf ? imf->file : "";
    const std::string mavrinsays = imf ? "Mavrin prints \"File " + oneline(named) + " does not exist.\"" : "";
    std::string asked;   // what Mavrin asks about, for a partly applied image
    if (imf && askssize(pf, *imf)) asked = "the size";
    if (imf && asksblock(pf, *imf)) asked += asked.empty() ? "the validation block" : " and the validation block";
    switch (v) {
    case vsound: return "a sound patch";
    case vdamaged: return "damaged: Mavrin refuses it and changes nothing";
    case vapplies:
        return pf.kind == zem::version1 ? "Mavrin applies it without asking: a version 1.0 patch cannot check its image"
                                        : "applies cleanly: Mavrin asks nothing";
    case vasks:
        return sizevalid(pf) ? "not the image the patch was made for: Mavrin would ask before patching"
                             : "Mavrin would ask before patching: the size the patch stores is invalid";
    case vapplied: return "already applied: applying it again changes nothing";
    case vpartly:
        return "partly applied: running Mavrin again finishes it, since records are absolute writes; it asks nothing";
    case vpartlyasks:
        return "partly applied: Mavrin asks about " + asked + ", which the patch itself changed; answer y to finish";
    case vunwritable: return "unwritable: " + mavrinsays + " and changes nothing";
    case verror:
    case vcodesright:   // --codes has its own report
    case vcodeswrong: break;
    }
    return "";
}

namespace {

// The report of one patch as one JSON object.
json reportjson(const PatchFacts *pf, const ImageFacts *imf, verdict v, const std::string &error)
{
    json out = {{"patch", nullptr}, {"image", nullptr}, {"verdict", verdictname(v)}};
    if (!error.empty()) out["error"] = error;
    bool sound = pf && pf->damage == zem::flawnone;
    if (pf) {
        json p = {{"file", pf->file},
                  {"version", pf->kind == zem::version1 ? "1.0" : "2.0"},
                  {"description", pf->description},
                  {"text_encoding", pf->encoding == textascii ? "ascii"
                                    : pf->encoding == textutf8 ? "utf-8" : "cp437"},
                  {"diz", pf->hasdiz ? json(pf->diz) : json(nullptr)},
                  {"damaged", !sound},
                  {"damage", sound ? json(nullptr) : json(zem::describe(pf->damage))},
                  {"damaged_at", !sound && pf->damageat >= 0 ? json(pf->damageat) : json(nullptr)},
                  {"records", pf->records},
                  {"data_bytes", pf->databytes},
                  {"image_size", pf->hasimagesize ? json(pf->imagesize) : json(nullptr)},
                  {"image_size_valid", pf->hasimagesize ? json(sizevalid(*pf)) : json(nullptr)},
                  {"volume", pf->hasimagesize ? volumejson(pf->volume) : json(nullptr)}};
        bool any = sound && pf->highest >= 0;
        p["lowest"] = any ? json(pf->lowest) : json(nullptr);
        p["highest"] = any ? json(pf->highest) : json(nullptr);
        p["bytes_written"] = sound ? json(pf->byteswritten) : json(nullptr);
        p["sectors"] = sound ? json(pf->sectors) : json(nullptr);
        p["overlap"] = sound ? json(pf->overlap) : json(nullptr);
        p["grows"] = sound && sizevalid(*pf) ? json(grows(*pf, pf->imagesize)) : json(nullptr);
        out["patch"] = p;
    }
    if (pf && imf) {
        // An image zeminfo cannot read at offsets says nothing but its name.
        const bool v2 = pf->kind == zem::version2, seen = imf->examined, counted = sound && seen;
        auto fact = [](bool known, json value) { return known ? value : json(nullptr); };
        const applystate state = stateof(*pf, *imf);
        json i = {{"file", imf->file},
                  {"writable", imf->writable},
                  {"unwritable_reason", fact(!imf->writable, imf->unwritable)},
                  {"size", fact(seen, imf->size)},
                  {"size_matches", fact(seen && v2, imf->sizematches)},
                  {"block_matches", fact(seen && v2, imf->blockmatches)},
                  {"block_patched", fact(counted && v2, imf->blockpatched)},
                  {"layout", seen && v2 ? json(layoutname(imf->where)) : json(nullptr)},
                  {"shift", fact(seen && v2 && imf->where != layoutnone, imf->shift)},
                  {"volume", fact(seen, volumejson(imf->volume))}};
        i["bytes_written"] = fact(counted, pf->byteswritten);
        i["bytes_to_change"] = fact(counted, imf->tochange);
        i["applied"] = fact(seen, state == fullyapplied);
        i["partly_applied"] = fact(seen, state == partlyapplied);
        i["records_in_place"] = fact(counted, imf->inplace);
        i["grows"] = fact(counted, grows(*pf, imf->size));
        i["sectors_in_image"] = fact(counted, imf->wholesectors);
        i["raw_sectors"] = fact(counted, imf->rawsectors);
        i["edc_right_sectors"] = fact(counted, imf->edcright);
        i["edc_broken_sectors"] = fact(counted, imf->edcbroken);
        json named = json::array();
        for (int k = 0; counted && k < imf->edcbroken && k < namedsectors; k++) named.push_back(imf->broken[k]);
        i["edc_broken_first"] = fact(seen, named);
        /* P and Q, and the codes the patch leaves */
        i["ecc_right_sectors"] = fact(counted, imf->eccright);
        i["ecc_broken_sectors"] = fact(counted, imf->eccbroken);
        i["ecc_broken_first"] = counted ? sectorarray(imf->eccbroken, imf->eccfirst) : json::array();
        i["codes_broken_sectors"] = fact(counted, imf->codesbroken);
        i["no_edc_sectors"] = fact(counted, imf->noedc);
        layoutjson(i, *imf, counted);
        // A split dump's track file: what to answer to each question, and
        // the validation block in the sheet's image.
        json answers = nullptr, block = nullptr;
        if (imf->split && pf->damage == zem::flawnone) {
            const SplitAdvice a = splitadvice(*pf, *imf);
            answers = {{"size", answerjson(a.size)}, {"validation_block", answerjson(a.block)}};
        }
        if (imf->split && pf->kind == zem::version2)
            block = {{"file", imf->dumpblockfile.empty() ? json(nullptr) : json(imf->dumpblockfile)},
                     {"matches", imf->dumpblock < 0 ? json(nullptr) : json(imf->dumpblock == 1)}};
        i["split_answers"] = answers;
        i["split_block"] = block;
        out["image"] = i;
    }
    return out;
}

} // namespace

void printjson(const PatchFacts *pf, const ImageFacts *imf, verdict v, const std::string &error)
{
    // File names are bytes; what is not UTF-8 in them shows as U+FFFD.
    printf("%s\n", reportjson(pf, imf, v, error).dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

/* The reports of several patches in order against one image */

void printstacktext(const std::string &imagefile, const std::vector<StepFacts> &steps, int decides, verdict v)
{
    line("Image", oneline(imagefile));
    for (size_t k = 0; k < steps.size(); k++) {
        const StepFacts &st = steps[k];
        printf("\n");
        line(("Step " + std::to_string(k + 1)).c_str(), oneline(st.pf.file));
        line("Verdict", verdictwords(st.pf, &st.imf, st.v));
        if (!st.stacked) line("Stacked", "no: Mavrin changes nothing, so the next step meets the image without it");
        std::string over;
        for (const StepOverwrite &o : st.overwrites) {
            std::string at;
            for (int64_t r : o.runs) at += (at.empty() ? "" : ", ") + num(r);
            if (!over.empty()) over += "; ";
            over += count(o.bytes, "byte") + " of step " + std::to_string(o.step + 1) + " (" +
                    oneline(steps[size_t(o.step)].pf.file) + "), " +
                    (o.nruns == 1 ? "at offset " : "in " + num(o.nruns) + " runs, from offsets ") + at +
                    (o.runs.size() < size_t(o.nruns) ? ", ..." : "");
        }
        line("Overwrites", k == 0 ? "nothing: no earlier patch"
                           : over.empty() ? "nothing the earlier patches wrote" : over);
    }
    printf("\n");
    if (decides < 0) line("Stack", "every step applies cleanly: Mavrin asks nothing");
    else line("Stack", "step " + std::to_string(decides + 1) + " decides: " +
                           verdictwords(steps[size_t(decides)].pf, &steps[size_t(decides)].imf, v));
}

void printstackjson(const std::string &imagefile, const std::vector<StepFacts> &steps, int decides, verdict v)
{
    json list = json::array();
    for (size_t k = 0; k < steps.size(); k++) {
        const StepFacts &st = steps[k];
        json step = reportjson(&st.pf, &st.imf, st.v, "");
        json over = json::array();
        int64_t total = 0;
        for (const StepOverwrite &o : st.overwrites) {
            over.push_back({{"step", o.step + 1}, {"patch", steps[size_t(o.step)].pf.file}, {"bytes", o.bytes},
                            {"runs", o.nruns}, {"first_runs", o.runs}});
            total += o.bytes;
        }
        step["step"] = k + 1;
        step["stacked"] = st.stacked;
        step["overwritten_bytes"] = total;
        step["overwrites"] = over;
        list.push_back(step);
    }
    json out = {{"image", imagefile}, {"steps", list}, {"verdict", verdictname(v)},
                {"deciding_step", decides < 0 ? json(nullptr) : json(decides + 1)}};
    printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

void printjsonfield(const char *key, const std::string &value)
{
    printf("%s\n", json{{key, value}}.dump(2).c_str());
}

/* The reports of --codes */

void printcodestext(const CodesFacts &cf, verdict v)
{
    line("Image", oneline(cf.file));
    if (cf.layout) printlayout(*cf.layout, false);
    line("Size", sizewords(cf.size));
    line("Sectors", num(cf.kinds[int(cd::Kind::mode1)]) + " Mode 1, " +
                        num(cf.kinds[int(cd::Kind::form1)]) + " Mode 2 Form 1, " +
                        num(cf.kinds[int(cd::Kind::form2)]) + " Mode 2 Form 2, " +
                        num(cf.kinds[int(cd::Kind::none)]) + " not data sectors");
    if (cf.audio)
        line("Audio", count(cf.audio, "sector") + " of AUDIO " + cf.audiotracks +
                          ": music, never data sectors, no codes checked");
    if (cf.nocodes)
        line("No codes", count(cf.nocodes, "sector") + " of " + cf.nocodestracks +
                             ", of fewer than 2352 bytes a sector: they keep the data alone, "
                             "no codes to check");
    line("No EDC", count(cf.noedc, "data sector") + " with an EDC of zero (not computed)" +
                       sectorlist(cf.noedc, cf.noedcfirst));
    line("EDC", num(cf.edcright) + " right, " + num(cf.edcbroken) + " wrong" +
                    sectorlist(cf.edcbroken, cf.edcfirst));
    line("ECC", num(cf.eccright) + " right, " + num(cf.eccbroken) + " wrong" +
                    sectorlist(cf.eccbroken, cf.eccfirst));
    if (cf.kinds[int(cd::Kind::none)] == cf.sectors - cf.audio - cf.nocodes && (cf.audio || cf.nocodes))
        line("Verdict", "no data sectors with codes to check: the tracks are audio or keep no codes");
    else if (cf.kinds[int(cd::Kind::none)] == cf.sectors)
        line("Verdict", "no data sectors: not a raw image of 2352-byte sectors, or audio only");
    else if (v == vcodesright)
        line("Verdict", "the codes of every data sector are right");
    else
        line("Verdict", count(cf.codesbroken, "data sector") +
                            " with a wrong EDC or ECC: zemmake -r IMAGE REPAIRFILE makes a patch "
                            "that repairs them");
}

void printcodesjson(const CodesFacts &cf, verdict v)
{
    json i = {{"file", cf.file},
              {"size", cf.size},
              {"sectors", cf.sectors},
              {"mode1_sectors", cf.kinds[int(cd::Kind::mode1)]},
              {"form1_sectors", cf.kinds[int(cd::Kind::form1)]},
              {"form2_sectors", cf.kinds[int(cd::Kind::form2)]},
              {"other_sectors", cf.kinds[int(cd::Kind::none)]},
              {"audio_sectors", cf.audio},
              {"no_codes_sectors", cf.nocodes},
              {"edc_right_sectors", cf.edcright},
              {"edc_broken_sectors", cf.edcbroken},
              {"edc_broken_first", sectorarray(cf.edcbroken, cf.edcfirst)},
              {"ecc_right_sectors", cf.eccright},
              {"ecc_broken_sectors", cf.eccbroken},
              {"ecc_broken_first", sectorarray(cf.eccbroken, cf.eccfirst)},
              {"codes_broken_sectors", cf.codesbroken},
              {"no_edc_sectors", cf.noedc},
              {"no_edc_first", sectorarray(cf.noedc, cf.noedcfirst)}};
    if (cf.layout) layoutjson(i, *cf.layout, false);
    json out = {{"patch", nullptr}, {"image", i}, {"verdict", verdictname(v)}};
    printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

/* The report of --hash IMAGE */

void printhashtext(const ImageFacts &imf)
{
    line("Image", oneline(imf.file));
    printlayout(imf, false);
    line("Size", sizewords(imf.size));
    if (imf.split)
        line("Split dump", "this file is track file " + num(imf.splitdump.file + 1) + " of " +
                               num(imf.splitdump.nfiles) + " of " + oneline(imf.splitdump.cuepath));
    printhashes(imf);
}

void printhashjson(const ImageFacts &imf)
{
    json i = {{"file", imf.file}, {"size", imf.size}};
    layoutjson(i, imf, false);
    json out = {{"patch", nullptr}, {"image", i}};
    printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}
