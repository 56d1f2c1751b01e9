// Library handles, query helpers and the dispatch to the per-engine catalogue readers.
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace common = norviai::py_common;

namespace {

PYBIND11_CONSTINIT Library library_storage;

}  // namespace

void init_library(py::module_& module) {
  Library& lib = library_storage;
  if (lib.statement_timeout) return;  // set at the first import
  lib.text.set(common::import_from("sqlalchemy", "text"));
  lib.select.set(common::import_from("sqlalchemy", "select"));
  lib.table.set(common::import_from("sqlalchemy", "table"));
  lib.column.set(common::import_from("sqlalchemy", "column"));
  lib.executable.set(common::import_from("sqlalchemy.sql.expression", "Executable"));
  lib.strip_outer_parens.set(common::import_from("sqlalchemy.util", "strip_outer_parens"));
  lib.programming_error.set(common::import_from("sqlalchemy.exc", "ProgrammingError"));
  lib.dbapi_error.set(common::import_from("sqlalchemy.exc", "DBAPIError"));
  lib.sqlalchemy_error.set(common::import_from("sqlalchemy.exc", "SQLAlchemyError"));
  const char* langchain = "langchain_community.utilities.sql_database";
  lib.truncate_word.set(common::import_from(langchain, "truncate_word"));
  lib.format_index.set(common::import_from(langchain, "_format_index"));
  lib.simple_namespace.set(common::import_from("types", "SimpleNamespace"));
  lib.types.set(py::module_::import("sqlalchemy.types"));
  py::module_ re = py::module_::import("re");
  lib.mysql_default.set(
      re.attr("compile")(R"re((?:NULL|'(?:''|[^'])*'|\(.+?\)|[\-\w\.\(\)]+))re", re.attr("I")));

  lib.read_only_violation.set(
      common::ClassBuilder(module, "ReadOnlyViolation", lib.sqlalchemy_error)
          .attr("__doc__", py::str("Generated SQL refused before it reached the database: it "
                                   "is not one read-only query."))
          .attr("__module__", py::str("norviai.askflow.custom_sql"))
          .finish());
  lib.statement_timeout.set(
      common::ClassBuilder(module, "StatementTimeout", lib.sqlalchemy_error)
          .attr("__doc__", py::str("A query cancelled for exceeding the statement time limit."))
          .attr("__module__", py::str("norviai.askflow.custom_sql"))
          .finish());
}

const Library& library() { return library_storage; }

Dialect dialect_of(py::handle engine) {
  auto name = engine.attr("dialect").attr("name").cast<std::string>();
  if (name == "postgresql") return Dialect::kPostgresql;
  if (name == "mysql" || name == "mariadb") return Dialect::kMysql;
  if (name == "sqlite") return Dialect::kSqlite;
  if (name == "mssql") return Dialect::kMssql;
  return Dialect::kOther;
}

std::vector<py::tuple> fetch_all(py::handle connection, const std::string& sql,
                                 py::dict parameters) {
  py::object result = connection.attr("execute")(library().text(sql), parameters);
  std::vector<py::tuple> rows;
  for (py::handle row : result.attr("fetchall")()) rows.push_back(as_tuple(row));
  return rows;
}

py::list fetch_driver(py::handle connection, const std::string& sql, py::dict parameters) {
  py::object result = connection.attr("exec_driver_sql")(sql, parameters);
  py::list rows = result.attr("cursor").attr("fetchall")();
  result.attr("close")();
  return rows;
}

py::tuple as_tuple(py::handle row) {
  PyObject* values = PySequence_Tuple(row.ptr());
  if (values == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::tuple>(values);
}

std::optional<std::string> optional_text(py::handle value) {
  if (value.is_none()) return std::nullopt;
  if (py::isinstance<py::bytes>(value) || py::isinstance<py::bytearray>(value)) {
    return value.attr("decode")("utf-8").cast<std::string>();
  }
  return py::str(value).cast<std::string>();
}

std::string text_of(py::handle value) { return optional_text(value).value_or(""); }

py::list integers_in(const std::string& text) {
  py::list numbers;
  std::string digits;
  for (char ch : text + " ") {
    if (ch >= '0' && ch <= '9') {
      digits += ch;
    } else if (!digits.empty()) {
      numbers.append(std::stoll(digits));
      digits.clear();
    }
  }
  return numbers;
}

py::object make_type(py::handle cls, py::tuple args, py::dict kwargs) {
  try {
    return cls(*args, **kwargs);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_TypeError)) throw;
  }
  return cls();
}

void add_foreign_keys(
    Catalogue& catalogue, const std::vector<py::tuple>& rows,
    const std::function<void(const py::tuple& row, ForeignKeyDef& key)>& describe) {
  std::map<std::string, std::map<std::string, ForeignKeyDef>> keys;
  for (const py::tuple& row : rows) {
    std::string table_name = text_of(row[0]);
    if (!catalogue.tables.count(table_name)) continue;
    ForeignKeyDef& key = keys[table_name][text_of(row[1])];
    if (key.columns.empty()) {
      key.name = text_of(row[1]);
      key.referred_table = text_of(row[4]);
      describe(row, key);
    }
    key.columns.push_back(text_of(row[2]));
    key.referred_columns.push_back(text_of(row[5]));
  }
  for (auto& [table_name, by_name] : keys) {
    auto& target = catalogue.tables[table_name].foreign_keys;
    for (auto& [name, key] : by_name) target.push_back(std::move(key));
  }
}

std::shared_ptr<Catalogue> read_catalogue(py::handle connection, py::handle schema, bool views,
                                          const std::vector<std::string>& only) {
  auto catalogue = std::make_shared<Catalogue>();
  catalogue->views = views;
  catalogue->dialect = dialect_of(connection.attr("engine"));
  catalogue->schema = py::reinterpret_borrow<py::object>(schema);
  // SQLite resolves a foreign key without referred columns through the referred table, and its
  // catalogue costs next to nothing: it is always read whole.
  if (catalogue->dialect != Dialect::kSqlite) catalogue->only = only;
  switch (catalogue->dialect) {
    case Dialect::kPostgresql:
      read_postgresql(connection, *catalogue);
      break;
    case Dialect::kMysql:
      read_mysql(connection, *catalogue);
      break;
    case Dialect::kSqlite:
      read_sqlite(connection, *catalogue);
      break;
    case Dialect::kMssql:
      read_mssql(connection, *catalogue);
      break;
    case Dialect::kOther:
      common::raise_error(
          PyExc_ValueError,
          "CustomSQLDatabase supports PostgreSQL, MySQL/MariaDB, SQLite and "
          "SQL Server, not '" +
              connection.attr("engine").attr("dialect").attr("name").cast<std::string>() + "'");
  }
  catalogue->only.clear();
  return catalogue;
}

}  // namespace norviai::sqlwrap
