#pragma once
// A product code becomes part of a cache file name, so it must name a plain file in the
// cache folder and nothing else.
#include <string_view>

namespace quarvel::core {

/// True when `code` is usable as a file-name part: not empty, no path separator
/// ('/' or '\\'), no "..", no NUL byte.
bool is_safe_code(std::string_view code);

} // namespace quarvel::core
