#include "code_check.hpp"

namespace quarvel::core {

bool is_safe_code(std::string_view code) {
    if (code.empty())
        return false;
    if (code.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
        return false;
    return code.find("..") == std::string_view::npos;
}

} // namespace quarvel::core
