// norviai.master: every public name of norviai.codeexec, plus set-up and install entry points
// that print errors instead of raising. They call codeexec's functions through that module,
// whose variables are the live ones (the copies here are import-time values).
#include "modules/common/pyutil.hpp"

namespace norviai::master {

namespace py = pybind11;

namespace {

constexpr const char* kSafeInstallDoc =
    "Calls install_dependencies with a list of module names and handles any errors.\n"
    "\n"
    "Parameters:\n"
    "    module_names (list): a list of strings, the names of the modules to install.\n";

py::object codeexec_function(const char* name) {
  return py::module_::import("norviai.codeexec").attr(name);
}

// `try: body() except Exception as e: print(prefix + str(e))`.
template <typename Body>
void print_errors(const char* prefix, Body&& body) {
  try {
    body();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    py::print(py::str(prefix) + py::str(error.value()));
  }
}

void initialize_env(py::object env_path) {
  print_errors("An error occurred during initilization: ",
               [&] { codeexec_function("initialize_environment")(env_path); });
}

void safe_install_modules(py::object module_names) {
  print_errors("An error occurred during installation: ", [&] {
    codeexec_function("install_dependencies")(module_names);
    py::print(py::str("Installation successful."));
  });
}

}  // namespace

}  // namespace norviai::master

PYBIND11_MODULE(master, m) {
  using namespace norviai::master;
  namespace common = norviai::py_common;
  common::star_import(m, "norviai.codeexec");
  common::def_signed(m, "initialize_env", {"env_path"}, &initialize_env, py::arg("env_path"));
  common::def_signed(m, "safe_install_modules", {"module_names", kSafeInstallDoc},
                     &safe_install_modules, py::arg("module_names"));
}
