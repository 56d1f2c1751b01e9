// norviai.codeexec: a virtual environment that receives package installs (one pip process per
// package), and execution of Python source in this module's namespace with standard output
// captured. Runs of execute_code are serialised by a process-wide lock, since each swaps the
// process-wide sys.stdout.
#include <mutex>

#include "modules/common/pyutil.hpp"

namespace norviai::codeexec {

namespace py = pybind11;

namespace {

py_common::ProcessRef module_ref;

constexpr const char* kDefaultPackages[] = {"matplotlib",  "scikit-learn", "numpy",
                                            "statsmodels", "pandas",       "scipy"};

// Recursive: executed code sees execute_code in its namespace and may call it.
std::recursive_mutex execution_mutex;

py::module_ module_handle() { return module_ref.module(); }

// Runs one pip process per package in order; raises RuntimeError naming every failed one.
void install_dependencies(py::object dependencies) {
  py::object call = py::module_::import("subprocess").attr("call");
  py::list failures;
  for (py::handle name : dependencies) {
    py::object executable = module_handle().attr("python_executable");
    py::object status = call(py::list(py::make_tuple(executable, "-m", "pip", "install", name)));
    if (!status.equal(py::int_(0))) {
      failures.append(py::str("{} (exit status {})").format(name, status));
    }
  }
  // Reported after the loop, so one failure does not keep the others from being tried.
  if (py::len(failures) > 0) {
    py::object names = py::str(", ").attr("join")(failures);
    py_common::raise_error(PyExc_RuntimeError,
                           py::str("pip install failed for: {}").format(names).cast<std::string>());
  }
}

void safe_install_modules(py::object module_names) {
  py_common::except_exception(
      [&] {
        install_dependencies(module_names);
        py::print(py::str("Installation successful."));
        return py::none();
      },
      [](py::object error) {
        py::print(py::str("An error occurred during installation: {}").format(error));
        return py::none();
      });
}

void install_defaults() {
  py::list packages;
  for (const char* name : kDefaultPackages) packages.append(name);
  safe_install_modules(packages);
}

void ensure_virtual_environment() {
  py::module_ m = module_handle();
  py::object path = py::module_::import("os").attr("path");
  py::object env_path = m.attr("env_path");
  bool existed = py_common::truthy(path.attr("exists")(env_path));
  if (!existed) {
    py::module_::import("venv").attr("create")(env_path, py::arg("with_pip") = true);
  }
  m.attr("python_executable") = path.attr("join")(env_path, "bin", "python");
  if (!existed) install_defaults();
}

void initialize_environment(py::object env_path_param) {
  module_handle().attr("env_path") = env_path_param;
  ensure_virtual_environment();
}

// Takes the lock; waits with the GIL released so the holder can run.
std::unique_lock<std::recursive_mutex> lock_execution() {
  std::unique_lock<std::recursive_mutex> lock(execution_mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    py::gil_scoped_release release;
    lock.lock();
  }
  return lock;
}

py::object execute_code(py::object code) {
  py::module_ builtins = py::module_::import("builtins");
  py::object tree = py::module_::import("ast").attr("parse")(code, py::arg("mode") = "exec");

  auto lock = lock_execution();
  py::module_ sys = py::module_::import("sys");
  py::object saved_stdout = sys.attr("stdout");
  py::object buffer = py::module_::import("io").attr("StringIO")();
  sys.attr("stdout") = buffer;
  py::object output;
  try {
    py::object compiled = builtins.attr("compile")(tree, "<ast>", "exec");
    py::object globals = module_handle().attr("__dict__");
    builtins.attr("exec")(compiled, globals, globals);
    output = buffer.attr("getvalue")();
  } catch (...) {
    sys.attr("stdout") = saved_stdout;
    throw;
  }
  sys.attr("stdout") = saved_stdout;
  return output;
}

}  // namespace

}  // namespace norviai::codeexec

PYBIND11_MODULE(codeexec, m) {
  using namespace norviai::codeexec;
  namespace common = norviai::py_common;
  module_ref.set(m);

  for (const char* name : {"ast", "io", "os", "subprocess", "sys", "venv"}) {
    m.add_object(name, py::module_::import(name));
  }
  m.attr("env_path") = py::none();
  m.attr("python_executable") = py::none();
  m.attr("media_path") = py::none();

  common::def_signed(m, "initialize_environment", {"env_path_param"}, &initialize_environment,
                     py::arg("env_path_param"));
  common::def_signed(m, "ensure_virtual_environment", {""}, &ensure_virtual_environment);
  common::def_signed(m, "install_defaults", {""}, &install_defaults);
  common::def_signed(m, "safe_install_modules", {"module_names"}, &safe_install_modules,
                     py::arg("module_names"));
  common::def_signed(m, "install_dependencies", {"dependencies"}, &install_dependencies,
                     py::arg("dependencies"));
  common::def_signed(m, "execute_code", {"code"}, &execute_code, py::arg("code"));
}
