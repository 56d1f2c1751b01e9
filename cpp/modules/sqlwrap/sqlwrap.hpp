// Internals of norviai.askflow._sqlwrap, the C++ half of CustomSQLDatabase: the bulk catalogue of
// a database, the CREATE TABLE texts and sample blocks built from it, and read-only execution.
// A Catalogue is owned by the wrapper instance it was read for (kept as a Python attribute); the
// library handles are held for the process. Not thread-safe beyond what the GIL gives: all of it
// expects the GIL held. Database and library errors pass through unchanged; refusals and time
// limits raise the module's SQLAlchemyError subclasses.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/sql_dialect.hpp"
#include "modules/common/pyutil.hpp"

namespace norviai::sqlwrap {

namespace py = pybind11;

using core::Dialect;

Dialect dialect_of(py::handle engine);

// Handles of the SQLAlchemy and langchain objects the module uses, imported once at load and
// held for the process.
struct Library {
  py_common::ProcessRef text;        // sqlalchemy.text
  py_common::ProcessRef select;      // sqlalchemy.select
  py_common::ProcessRef table;       // sqlalchemy.table (lightweight TableClause)
  py_common::ProcessRef column;      // sqlalchemy.column
  py_common::ProcessRef executable;  // sqlalchemy.sql.expression.Executable
  py_common::ProcessRef strip_outer_parens;
  py_common::ProcessRef programming_error;  // sqlalchemy.exc.ProgrammingError
  py_common::ProcessRef dbapi_error;        // sqlalchemy.exc.DBAPIError
  py_common::ProcessRef sqlalchemy_error;   // sqlalchemy.exc.SQLAlchemyError
  py_common::ProcessRef truncate_word;      // langchain_community's value shortening for run()
  py_common::ProcessRef format_index;       // langchain_community's index line
  py_common::ProcessRef simple_namespace;   // types.SimpleNamespace
  py_common::ProcessRef types;              // sqlalchemy.types
  py_common::ProcessRef
      mysql_default;  // the DEFAULT values MySQL reflection's line pattern accepts
  py_common::ProcessRef read_only_violation;
  py_common::ProcessRef statement_timeout;
};

const Library& library();
void init_library(py::module_& module);

struct Identity {
  bool always = false;
  long long start = 1, increment = 1, minvalue = 1, maxvalue = 0, cache = 1;
  bool cycle = false;
};

struct ColumnDef {
  std::string name;
  py::object type;  // SQLAlchemy type instance; None when SQLAlchemy would not recognise it
  bool nullable = true;
  std::optional<std::string> server_default;
  bool autoincrement = false;  // nextval default, AUTO_INCREMENT, IDENTITY
  std::optional<Identity> identity;
  std::optional<std::string> computed;  // generation expression as the library prints it
  std::optional<bool> persisted;
  std::optional<std::string> comment;
  long long type_oid = 0;  // PostgreSQL: the type OID a result column reports; 0 when unknown
};

struct ForeignKeyDef {
  std::optional<std::string> name;
  std::vector<std::string> columns;
  std::optional<std::string> referred_schema;
  std::string referred_table;
  std::vector<std::string> referred_columns;
  std::string tail;  // " MATCH …", " ON DELETE …", " DEFERRABLE", … already in SQL form
};

struct UniqueDef {
  std::optional<std::string> name;
  std::vector<std::string> columns;
  std::string distinct;  // "NULLS DISTINCT " on PostgreSQL 15 and later
};

struct CheckDef {
  std::optional<std::string> name;
  std::string sqltext;
  std::string tail;  // " NOT VALID"
};

struct TableDef {
  std::string name;
  std::vector<ColumnDef> columns;
  std::optional<std::string> primary_key_name;
  std::vector<std::string> primary_key;
  std::vector<ForeignKeyDef> foreign_keys;
  std::vector<UniqueDef> uniques;
  std::vector<CheckDef> checks;
  py::object table_options;  // list of (key, value) as reflection names them: mysql_…, postgresql_…
  std::string post_create;  // table options already in SQL form (SQLite)
  std::optional<std::string> comment;
  std::optional<std::string> create_text;  // rendered once, on first use
};

// The whole catalogue of one schema, read with a few queries.
struct Catalogue {
  Dialect dialect = Dialect::kOther;
  py::object schema;   // None or the wrapper's schema name
  bool views = false;  // views read too (the wrapper's view_support)
  std::map<std::string, TableDef> tables;
  std::set<std::string> absent;   // usable names a fresh read did not find: not read again
  std::vector<std::string> only;  // while reading: the tables to read (empty: every table)
};

// Closes a SQLAlchemy connection when it goes out of scope (returning it to the pool); an error
// while closing is dropped, since a destructor must not throw.
class ConnectionGuard {
 public:
  explicit ConnectionGuard(py::object engine) : connection_(engine.attr("connect")()) {}
  ~ConnectionGuard() {
    try {
      connection_.attr("close")();
    } catch (...) {
    }
  }
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;
  py::object& get() { return connection_; }

 private:
  py::object connection_;
};

// Pauses the cyclic garbage collector while in scope: reading a large catalogue or many sample
// rows allocates hundreds of thousands of tuples, and each collection would walk all of them.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// Reads the catalogue through `connection` (a SQLAlchemy Connection): the tables named in `only`,
// or every table when it is empty (SQLite always reads every table).
std::shared_ptr<Catalogue> read_catalogue(py::handle connection, py::handle schema, bool views,
                                          const std::vector<std::string>& only = {});

// One reader per engine family; each fills `catalogue.tables`.
void read_postgresql(py::handle connection, Catalogue& catalogue);
void read_mysql(py::handle connection, Catalogue& catalogue);
void read_sqlite(py::handle connection, Catalogue& catalogue);
void read_mssql(py::handle connection, Catalogue& catalogue);

// Prints CREATE TABLE texts as SQLAlchemy's CreateTable prints the reflected tables, using the
// engine's own identifier preparer, type compiler and SQL compiler for the pieces.
class DdlWriter {
 public:
  DdlWriter(py::handle engine, const Catalogue& catalogue);
  std::string create_table(const TableDef& table) const;

 private:
  // Quoted names, type texts and compiled fragments repeat across tables: each is made once.
  std::string quote(const std::string& name) const;
  std::string type_text(py::handle type) const;  // types live as long as the catalogue
  std::string table_name(const std::string& name, const std::optional<std::string>& schema) const;
  std::string fragment(const std::string& sql) const;  // text() compiled with literal binds
  std::string column_spec(const TableDef& table, const ColumnDef& column, bool autoincrement) const;
  std::string constraints(const TableDef& table) const;
  std::string post_create(const TableDef& table) const;

  const Catalogue& catalogue_;
  py::object dialect_;
  py::object quote_;
  py::object type_compiler_;
  py::object sql_compiler_;
  py::object ddl_compiler_;
  py::object big_integer_, small_integer_, timestamp_, string_type_;
  bool default_functions_ = false;  // MySQL/MariaDB: expression defaults go in parentheses
  mutable std::unordered_map<std::string, std::string> quoted_;
  mutable std::unordered_map<PyObject*, std::string> type_texts_;
  mutable std::unordered_map<std::string, std::string> fragments_;
};

// Query helpers shared by the readers.
std::vector<py::tuple> fetch_all(py::handle connection, const std::string& sql,
                                 py::dict parameters = {});
// The rows as the driver returns them (no SQLAlchemy rows built), for a statement written in the
// driver's own parameter style.
py::list fetch_driver(py::handle connection, const std::string& sql, py::dict parameters = {});
py::tuple as_tuple(py::handle row);  // a result row (or any sequence) as a tuple
std::optional<std::string> optional_text(py::handle value);
std::string text_of(py::handle value);

// Gathers rows of foreign-key column pairs, (table, constraint, column, referred schema, referred
// table, referred column, ...) in column order, into one key per constraint, appended to each
// table of the catalogue in constraint-name order. `describe` fills in what the first row of a
// key says beyond its name, referred table and columns.
void add_foreign_keys(
    Catalogue& catalogue, const std::vector<py::tuple>& rows,
    const std::function<void(const py::tuple& row, ForeignKeyDef& key)>& describe);

// The runs of digits in `text` as Python ints, in order: "(10, 2)" gives [10, 2].
py::list integers_in(const std::string& text);

// Builds `cls(*args, **kwargs)`; on TypeError retries without arguments, as SQLite reflection does.
py::object make_type(py::handle cls, py::tuple args, py::dict kwargs);

// The wrapper's cached catalogue with the entries of `wanted` read (in bulk, the whole catalogue
// when `wanted` holds every usable table); names the database lacks are left out.
std::shared_ptr<Catalogue> catalogue_for(py::object db, const std::vector<std::string>& wanted,
                                         size_t usable_count);

// (name, column names, comments, referred tables) of every usable table, for the table index.
py::list index_entries(py::object db);

// One table's sample block: the table, the columns the library keeps, the rows' text once read.
struct Sample {
  const TableDef* table = nullptr;
  std::vector<const ColumnDef*> columns;
  std::optional<std::string> rows;
};

// Fills every sample's rows through `connection`, in a few round trips where the engine allows.
void read_sample_rows(py::object connection, const Catalogue& catalogue, long long count,
                      std::vector<Sample>& samples);

// Appends str(value)[:100], as SQLDatabase._get_sample_rows prints a value.
void append_value(std::string& out, py::handle value);

// The wrapper's entry points.
py::str table_info(py::object db, py::object table_names, bool get_col_comments);
void forget_catalogue(py::object db);
py::object run_read_only(py::object db, py::object command, const std::string& fetch,
                         bool include_columns, py::object parameters, py::object execution_options);
// Logs one warning when the connection's role is a superuser or may read server files.
void warn_if_privileged(py::object db);

}  // namespace norviai::sqlwrap
