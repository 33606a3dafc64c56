#pragma once
// A product code becomes part of file names (tick cache, reports), so it must name a
// plain file inside its folder and nothing else.
#include <string_view>

namespace quarvel::core {

/// True when `code` is usable as a file-name part: not empty, no path separator
/// ('/' or '\\'), no "..", no NUL byte.
inline bool is_safe_code(std::string_view code) {
    if (code.empty())
        return false;
    if (code.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
        return false;
    return code.find("..") == std::string_view::npos;
}

} // namespace quarvel::core
