// Internal interface of the norviai.cli extension module: the commands and the offline
// stand-in model. All functions expect the GIL; errors surface as Python exceptions.
#pragma once

#include "modules/common/pyutil.hpp"

namespace norviai::cli {

namespace py = pybind11;

void define_commands(py::module_& m);
void define_offline_model(py::module_& m);

}  // namespace norviai::cli
