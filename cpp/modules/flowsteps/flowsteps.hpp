// Internal interface of the norviai.askflow.flowsteps extension module: each area of the
// module (models, routing, steps) registers its names through one function.
// All functions expect the GIL; errors surface as Python exceptions.
#pragma once

#include "modules/common/pyutil.hpp"

namespace norviai::flowsteps {

namespace py = pybind11;

// Correction prompt of the analysis-code steps (Python format: user_question, python_code, error).
inline constexpr const char* kPythonCorrectionTemplate =
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:";

// The module object, set once at import; steps look up prompt templates in its namespace.
py::module_& module_handle();

// A global of the module (a prompt template, a library class); NameError when absent.
py::object module_global(const char* name);

void define_models(py::module_& m);
void define_initialisation(py::module_& m);
void define_routing(py::module_& m);

}  // namespace norviai::flowsteps
