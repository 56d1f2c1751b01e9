// Internal interface of the norviai.agent extension module: the CustomRunnableAgent class and
// the application-facing functions (create_agent, run_agent and kin).
// The module object is held for the process; objects returned are new references owned by the
// caller. Not thread-safe beyond what the GIL gives: every function expects it held. Errors
// surface as Python exceptions; run_agent prints a failure instead of raising it.
#pragma once

#include "modules/common/pyutil.hpp"

namespace norviai::agent {

namespace py = pybind11;

void define_custom_runnable_agent(py::module_& m);
void define_front_end(py::module_& m);

}  // namespace norviai::agent
