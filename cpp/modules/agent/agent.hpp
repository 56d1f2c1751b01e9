// Internal interface of the norviai.agent extension module.
// All functions expect the GIL; errors surface as Python exceptions.
#pragma once

#include "modules/common/pyutil.hpp"

namespace norviai::agent {

namespace py = pybind11;

void define_custom_runnable_agent(py::module_& m);
void define_front_end(py::module_& m);

}  // namespace norviai::agent
