// Option errors, worded alike in zemmake and zeminfo.
#include <cstring>
#include <getopt.h>

#include "tool.hpp"

namespace tool {

namespace {

// The long options whose names begin with name (n bytes); exact names first.
int matches(const struct option *longopts, const char *name, size_t n, const struct option **found)
{
    int count = 0;
    for (const struct option *o = longopts; o->name; o++) {
        if (strncmp(o->name, name, n) != 0) continue;
        if (strlen(o->name) == n) {
            *found = o;
            return 1;
        }
        if (count++ == 0) *found = o;
    }
    return count;
}

} // namespace

std::string optionerror(int c, char **argv, const struct option *longopts)
{
    // getopt has moved past a long option it turned down, and set optopt to
    // its code when the name was right; a short one is optopt itself, while
    // optind may still point at the rest of its cluster.
    const char *word = optind > 0 ? argv[optind - 1] : "";
    bool islong = strncmp(word, "--", 2) == 0 && word[2] != 0;
    std::string name = islong ? std::string(word, strcspn(word, "=")) : "";
    const struct option *o = nullptr;
    int n = islong ? matches(longopts, name.c_str() + 2, name.size() - 2, &o) : 0;
    // The word before a short option's cluster may be a long option too.
    if (islong && optopt != 0 && (n != 1 || o->val != optopt)) islong = false;

    if (!islong) {
        std::string shortname = std::string("-") + char(optopt);
        if (c == ':') return "option " + shortname + " needs a value";
        return "unknown option " + shortname;
    }
    if (c == ':') return "option " + name + " needs a value";
    if (optopt != 0) return "option " + name + " takes no value";
    if (n > 1) return "option " + name + " is ambiguous";
    return "unknown option " + name;
}

} // namespace tool
