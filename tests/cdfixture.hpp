// Real disc images for the tests: ISO 9660 images made by genisoimage, turned
// into raw 2352-byte sectors of Mode 1 or Mode 2 Form 1, and other layouts.
#pragma once

#include <string>

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
