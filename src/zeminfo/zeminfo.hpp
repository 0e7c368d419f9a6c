// zeminfo: its entry, for main() and for the tests and fuzzers in process.
#pragma once

// Runs zeminfo on its command line; returns the exit status. May be called
// again in the same process.
int zeminfomain(int argc, char **argv);

// Exit status
constexpr int exitapplies = 0;   // applies cleanly, or a sound patch without an image
constexpr int exiterror = 1;     // an error, or a damaged patch
constexpr int exitasks = 2;      // not the image the patch was made for: Mavrin would ask
constexpr int exitapplied = 3;   // applying would change nothing
constexpr int exitcodeswrong = 4;   // --codes: some data sector's EDC or ECC is wrong
