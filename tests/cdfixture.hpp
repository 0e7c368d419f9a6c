// Real disc images for the tests: ISO 9660 images made by genisoimage, turned
// into raw 2352-byte sectors of Mode 1 or Mode 2 Form 1, and other layouts.
#pragma once

#include <string>
#include <vector>

#include "patchbuilder.hpp"

namespace cdfix {

constexpr size_t isosector = 2048;
constexpr size_t rawsector = 2352;

// An ISO 9660 image of a few files, made in dir with genisoimage; empty when
// genisoimage is not installed (the caller skips its test).
bytes makeiso(const std::string &dir, const std::string &volume, const std::string &sysid,
              unsigned seed);

// The ISO's 2048-byte sectors as raw sectors: sync, header (address in BCD
// minutes, seconds, frames from 00:02:00, mode), for Mode 2 a subheader of
// Form 1, the data, the EDC, P and Q.
bytes rawimage(const bytes &iso, int mode);

// A raw Mode 2 image of the ISO with sectors of every kind, their codes right
// or not computed: 21 Form 2, 22 Form 2 with an EDC of zero, 23 Mode 1, 24
// Mode 1 with an EDC of zero, 25 subheader copies that disagree, 26 audio;
// every other sector Form 1.
bytes everykind(const bytes &iso);
// The image with data changed in sectors 21-26, 30 and 40, and the codes
// alone spoiled in Form 1 sectors 31 (P), 32 (EDC) and 33 (Q).
bytes spoil(const bytes &good);
// Of spoil's sectors, those whose codes are wrong then.
const std::vector<size_t> spoiledwrong = {21, 23, 30, 31, 32, 33, 40};
// The image with right codes written into the sectors.
bytes withcodes(const bytes &img, const std::vector<size_t> &sectors);

// n sectors of audio samples (noise from seed), some of which happen to read
// as data sectors: sectors 2 and 3 begin with the sync pattern and mode byte
// 1 (what follows is noise: their codes are wrong), sectors 5 and 6 are
// copies of the raw sectors 16 and 17 of raw (right codes).
bytes audiolikedata(const bytes &raw, size_t n, unsigned seed);
// A cue sheet's position of a sector: minutes, seconds and frames, "mm:ss:ff".
std::string msf(size_t sector);

// Other layouts of a raw Mode 2 image: sectors less their first 16 bytes
// (2336), sectors followed by 96 bytes of subchannel (2448).
bytes mode2form1to2336(const bytes &raw);
bytes withsubchannel(const bytes &raw);

// CD EDC of n bytes (bit by bit: apart from the program's own).
uint32_t edc(const unsigned char *p, size_t n);
// Writes the right EDC into raw sector number s of a Mode 1 or Mode 2 image
// (Form by the submode byte).
void fixedc(bytes &raw, size_t s);
// P and Q of the Mode 1 or Mode 2 Form 1 sector at p, written into it: byte
// by byte from the layout of words, columns and diagonals of ECMA-130 Annex
// A, with GF(2^8) by log tables (apart from the program's own).
void fixecc(unsigned char *p);
// The EDC, then P and Q where the sector has them.
void fixcodes(bytes &raw, size_t s);

} // namespace cdfix
