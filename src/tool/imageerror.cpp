// The refusal of an image, worded alike by zemmake and zeminfo.
#include <cstring>

#include "image.hpp"
#include "tool.hpp"

namespace tool {

std::string imageerror(const char *path, const disc::ImageError &err)
{
    std::string named = err.path[0] ? err.path : path;
    if (named != path && disc::iscuesheet(path)) named += std::string(", listed in ") + path + ",";
    return named + " " + err.reason;
}

} // namespace tool
