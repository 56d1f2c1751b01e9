// norviai.dbaccess: process-wide database configuration read from the environment at import,
// its replacement and check, connections and the query and schema functions.
#include "modules/dbaccess/dbaccess.hpp"

namespace norviai::dbaccess {

namespace {

py_common::ProcessRef module_ref;

constexpr const char* kConfigError =
    "All parameters must be provided and 'port' must be an integer.";

constexpr const char* kConfigNames[] = {"db_name", "db_user", "db_password", "db_host", "db_port"};

void set_database_config(py::object name, py::object user, py::object password, py::object host,
                         py::object port) {
  for (const py::object& value : {name, user, password, host}) {
    if (value.equal(py::none())) py_common::raise_error(PyExc_ValueError, kConfigError);
  }
  if (!py::isinstance<py::int_>(port)) py_common::raise_error(PyExc_ValueError, kConfigError);
  py::module_ m = module_handle();
  m.attr("db_name") = name;
  m.attr("db_user") = user;
  m.attr("db_password") = password;
  m.attr("db_host") = host;
  m.attr("db_port") = port;
}

py::list check_db_config_variables() {
  py::list invalid;
  for (const char* name : kConfigNames) {
    py::object value = config_value(name);
    if (value.is_none() || value.equal(py::str(""))) invalid.append(name);
  }
  if (py::len(invalid) > 0) {
    py::print("The following configuration variables are invalid:",
              py::str(", ").attr("join")(invalid));
  } else {
    py::print("All configuration variables are set correctly.");
  }
  return invalid;
}

}  // namespace

py::module_ module_handle() { return module_ref.module(); }

py::object config_value(const char* name) {
  return py_common::module_global(module_ref.get(), name);
}

}  // namespace norviai::dbaccess

PYBIND11_MODULE(dbaccess, m) {
  using namespace norviai::dbaccess;
  namespace common = norviai::py_common;
  module_ref.set(m);

  py::module_ os = py::module_::import("os");
  m.add_object("os", os);
  py::object getenv = os.attr("getenv");
  m.attr("db_port") = 3306;
  m.attr("db_user") = getenv("db_user", "root");
  m.attr("db_password") = getenv("db_password", "kvzt");
  m.attr("db_host") = getenv("db_host");
  m.attr("db_name") = getenv("db_name");

  common::def_signed(m, "set_database_config", {"name, user, password, host, port"},
                     &set_database_config, py::arg("name"), py::arg("user"), py::arg("password"),
                     py::arg("host"), py::arg("port"));
  common::def_signed(m, "check_db_config_variables", {""}, &check_db_config_variables);
  define_connections(m);
  define_queries(m);
}
