// Internal interface of the norviai.agent extension module.
// Objects returned are owned by the caller; nothing is cached between calls. All functions
// expect the GIL; errors surface as Python exceptions.
#pragma once

#include "modules/common/pyutil.hpp"

namespace norviai::agent {

namespace py = pybind11;

void define_custom_runnable_agent(py::module_& m);
void define_front_end(py::module_& m);

}  // namespace norviai::agent
