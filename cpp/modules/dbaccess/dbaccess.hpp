// Internal interface of the norviai.dbaccess extension module: the configuration held in the
// module's namespace, driver connections, and the query and schema functions built on them.
// Drivers are imported at call time; a connection returned is owned by the caller, and the query
// functions close theirs on every path. Not thread-safe beyond what the GIL gives: all functions
// expect it. Python errors surface as py::error_already_set; the functions Python callers see
// catch them as documented.
#pragma once

#include <string>
#include <utility>

#include "modules/common/pyutil.hpp"

namespace norviai::dbaccess {

namespace py = pybind11;

// The module object, set once at import.
py::module_ module_handle();

// Current value of a configuration variable in the module's namespace (callers may assign
// them); NameError when deleted.
py::object config_value(const char* name);

using py_common::except_exception;

using py_common::with_block;

// Runs body(), then closes `connection` if body set it, on every path (a `finally:` clause).
template <typename Body>
py::object close_after(py::object& connection, Body&& body) {
  py::object result;
  try {
    result = body();
  } catch (...) {
    if (!connection.is_none()) connection.attr("close")();
    throw;
  }
  if (!connection.is_none()) connection.attr("close")();
  return result;
}

// The SQL Server connection string; values holding ODBC delimiters are braced.
std::string mssql_connection_string(py::handle host, py::handle port, py::handle name,
                                    py::handle user, py::handle password);

// pymysql connection with dictionary rows, or None after printing why.
py::object mysql_connection(py::object user, py::object password, py::object host, py::object port,
                            py::object name);

// psycopg2 connection, or None after printing an OperationalError; other errors propagate.
py::object pg_connection(py::object user, py::object password, py::object host, py::object port,
                         py::object name);

void define_connections(py::module_& m);
void define_queries(py::module_& m);

}  // namespace norviai::dbaccess
