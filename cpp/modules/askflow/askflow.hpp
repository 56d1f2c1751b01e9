// Internal interface of the norviai.askflow.askflow extension module: the state schema and
// the question graph. The module keeps itself for the process (a ProcessRef); objects returned
// are owned by the caller. Not thread-safe beyond what the GIL gives: all functions expect it
// held. Errors surface as Python exceptions (TypeError for arguments of the wrong type).
#pragma once

#include "modules/common/pyutil.hpp"

namespace norviai::askflow {

namespace py = pybind11;

void define_state(py::module_& m);
void define_graph(py::module_& m);

}  // namespace norviai::askflow
