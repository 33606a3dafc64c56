#pragma once
// Entry points of the ticker module's binding files; module.cpp only calls these.
#include <nanobind/nanobind.h>

namespace quarvel::ticker {
namespace nb = nanobind;

/// Name under which this extension module is imported (module-level names live there).
inline constexpr const char *kModule = "quarvel.modules.ticker.ticker";

void bind_module_names(nb::module_ &m);
void bind_ticker(nb::module_ &m);

} // namespace quarvel::ticker
