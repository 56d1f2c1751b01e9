// norviai.askflow._sqlwrap: the C++ half of norviai.askflow.custom_sql.CustomSQLDatabase (bulk
// catalogue, table information, read-only execution) and the read-only guard's binding.
#include <cmath>
#include <memory>

#include "core/sql_guard.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

bool is_bool(py::handle value) { return PyBool_Check(value.ptr()); }

// Checks the two limits and keeps them on the instance.
void configure(py::object db, py::object statement_timeout, py::object max_rows) {
  if (!statement_timeout.is_none()) {
    bool number = !is_bool(statement_timeout) && (py::isinstance<py::int_>(statement_timeout) ||
                                                  py::isinstance<py::float_>(statement_timeout));
    double seconds = number ? statement_timeout.cast<double>() : 0;
    if (!number || !std::isfinite(seconds) || seconds <= 0) {
      py_common::raise_error(
          PyExc_ValueError, "statement_timeout must be a positive number of seconds or None, got " +
                                py::repr(statement_timeout).cast<std::string>());
    }
    statement_timeout = py::float_(seconds);
  }
  if (!max_rows.is_none()) {
    if (is_bool(max_rows) || !py::isinstance<py::int_>(max_rows) ||
        max_rows.cast<long long>() < 1) {
      py_common::raise_error(PyExc_ValueError, "max_rows must be a positive integer or None, got " +
                                                   py::repr(max_rows).cast<std::string>());
    }
  }
  db.attr("_statement_timeout") = statement_timeout;
  db.attr("_max_rows") = max_rows;
  forget_catalogue(db);
}

}  // namespace

}  // namespace norviai::sqlwrap

namespace py = pybind11;

PYBIND11_MODULE(_sqlwrap, m) {
  namespace sw = norviai::sqlwrap;
  namespace core = norviai::core;
  m.doc() = "C++ half of CustomSQLDatabase: bulk catalogue, table information, read-only runs.";
  sw::init_library(m);

  py::class_<sw::Catalogue, std::shared_ptr<sw::Catalogue>>(
      m, "Catalogue", "The bulk-read catalogue a CustomSQLDatabase keeps after first use.")
      .def_property_readonly("table_names", [](const sw::Catalogue& catalogue) {
        py::list names;
        for (const auto& [name, table] : catalogue.tables) names.append(name);
        return names;
      });

  m.def("configure", &sw::configure, py::arg("db"), py::arg("statement_timeout"),
        py::arg("max_rows"), "Checks and stores the time limit (seconds) and the row cap.");
  m.def("table_info", &sw::table_info, py::arg("db"), py::arg("table_names") = py::none(),
        py::arg("get_col_comments") = false,
        "CREATE TABLE texts and sample rows in the layout of SQLDatabase.get_table_info.");
  m.def("index_entries", &sw::index_entries, py::arg("db"),
        "(name, columns, comments, referred tables) of every usable table, for the table index.");
  m.def("forget_catalogue", &sw::forget_catalogue, py::arg("db"),
        "Drops the cached catalogue; the next table information reads it again.");
  m.def("run", &sw::run_read_only, py::arg("db"), py::arg("command"), py::arg("fetch") = "all",
        py::arg("include_columns") = false, py::arg("parameters") = py::none(),
        py::arg("execution_options") = py::none(),
        "Runs one read-only query under the time limit and the row cap.");
  m.def("warn_if_privileged", &sw::warn_if_privileged, py::arg("db"),
        "Logs a warning when the connection's role is a superuser or may read server files.");
  m.def(
      "check_read_only",
      [](const std::string& sql, const std::string& dialect) {
        auto verdict = core::check_read_only(sql, core::dialect_from_name(dialect));
        return py::make_tuple(verdict.allowed, verdict.reason, verdict.statement);
      },
      py::arg("sql"), py::arg("dialect"),
      "(allowed, reason, statement) of the lexical read-only guard.");
}
