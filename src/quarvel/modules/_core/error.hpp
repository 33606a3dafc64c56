#pragma once
// The one exception type the pure core throws; the binding layer maps it to ValueError.
#include <stdexcept>
#include <string>

namespace quarvel::core {

struct Error : std::runtime_error {
    explicit Error(const std::string &message) : std::runtime_error(message) {}
};

} // namespace quarvel::core
