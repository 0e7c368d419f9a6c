// What zemmake and zeminfo share as command-line tools: option errors worded
// alike, progress on a terminal, and the refusal of an image.
#pragma once

#include <cstdint>
#include <string>

struct option;
namespace disc {
struct ImageError;
}

namespace tool {

// The message for an option that getopt_long turned down: c is what it
// returned, '?' or ':' (the option string begins with ':'), longopts its
// table. The option is named as the user wrote it, long or short:
// "unknown option -x", "option --description needs a value".
std::string optionerror(int c, char **argv, const struct option *longopts);

// Progress of long work, for a person watching a terminal: one line on
// standard error, rewritten in place, that appears only once the run has
// taken about a second and is cleared when the work ends. When standard
// error is not a terminal (a pipe, a file, a script) nothing is shown.
//
// progressstart begins a run of prog (its name heads the line);
// progress says that done of total of the work called what is done (cheap
// enough to call every few milliseconds); progressclear removes the line,
// if one is shown, before anything else is printed.
void progressstart(const char *prog);
void progress(const char *what, int64_t done, int64_t total);
void progressclear();

// Why the image given as path (one file or a cue sheet) was refused or could
// not be read, as one line: the file the image layer names, with the cue
// sheet that lists it when that is another file, and the reason:
// "dir/Game (Track 02).bin, listed in dir/Game.cue, is missing".
std::string imageerror(const char *path, const disc::ImageError &err);

} // namespace tool
