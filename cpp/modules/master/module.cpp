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

py_common::ProcessRef codeexec_ref;

py::object codeexec_function(const char* name) { return codeexec_ref.attr(name); }

void initialize_env(py::object env_path) {
  py_common::except_exception(
      [&] { return codeexec_function("initialize_environment")(env_path); },
      [](py::object error) -> py::object {
        py::print(py::str("An error occurred during initilization: ") + py::str(error));
        return py::none();
      });
}

// codeexec's own, which already prints instead of raising, under this module's documentation.
void safe_install_modules(py::object module_names) {
  codeexec_function("safe_install_modules")(module_names);
}

}  // namespace

}  // namespace norviai::master

PYBIND11_MODULE(master, m) {
  using namespace norviai::master;
  namespace common = norviai::py_common;
  common::star_import(m, "norviai.codeexec");
  codeexec_ref.set(py::module_::import("norviai.codeexec"));
  common::def_signed(m, "initialize_env", {"env_path"}, &initialize_env, py::arg("env_path"));
  common::def_signed(m, "safe_install_modules", {"module_names", kSafeInstallDoc},
                     &safe_install_modules, py::arg("module_names"));
}
