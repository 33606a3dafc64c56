#pragma once
// Entry points of the matcher module's binding files; module.cpp only calls these.
#include <nanobind/nanobind.h>

namespace quarvel::matcher {
namespace nb = nanobind;

/// Name under which this extension module is imported (module-level names live there).
inline constexpr const char *kModule = "quarvel.modules.matcher.matcher";

void bind_module_names(nb::module_ &m);
void bind_matcher(nb::module_ &m);

} // namespace quarvel::matcher
