// run() for the wrapper: the lexical guard, then the statement in a read-only transaction that
// is always rolled back, under the statement time limit and the row cap.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "core/sql_guard.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

// "30", "1.5": the limit as a person writes it.
std::string seconds_text(double seconds) {
  char buffer[32];
  if (seconds == std::floor(seconds)) {
    std::snprintf(buffer, sizeof buffer, "%.0f", seconds);
  } else {
    std::snprintf(buffer, sizeof buffer, "%g", seconds);
  }
  return buffer;
}

// Shared with the SQLite progress handler, which aborts the statement once the deadline passed.
struct SqliteDeadline {
  std::chrono::steady_clock::time_point deadline;
  bool fired = false;
};

// One run's connection and the session state set up for it.
class ReadOnlySession {
 public:
  ReadOnlySession(py::object db, Dialect dialect)
      : db_(std::move(db)),
        dialect_(dialect),
        connection_(db_.attr("_engine")),
        timeout_(db_.attr("_statement_timeout")) {}

  py::object& connection() { return connection_.get(); }
  bool has_timeout() const { return !timeout_.is_none(); }
  double timeout_seconds() const { return timeout_.cast<double>(); }

  void begin() {
    switch (dialect_) {
      case Dialect::kPostgresql:
        // Must be the transaction's first statement.
        execute("SET TRANSACTION READ ONLY");
        // The guard reads a backslash in a plain string as an ordinary character; a server set
        // to read it as an escape would see statements hidden inside what the guard took for
        // one string.
        execute("SET LOCAL standard_conforming_strings = on");
        if (has_timeout()) {
          long long ms = std::max<long long>(1, std::llround(timeout_seconds() * 1000));
          execute("SET LOCAL statement_timeout = " + std::to_string(ms));
        }
        if (!db_.attr("_schema").is_none()) {
          connection().attr("exec_driver_sql")("SET LOCAL search_path TO %s",
                                               py::make_tuple(db_.attr("_schema")));
        }
        break;
      case Dialect::kMysql:
        mariadb_ = common::truthy(
            py::getattr(connection().attr("dialect"), "is_mariadb", py::bool_(false)));
        if (has_timeout()) {
          char value[48];
          if (mariadb_) {
            std::snprintf(value, sizeof value, "%.3f", timeout_seconds());
            execute(std::string("SET SESSION max_statement_time = ") + value);
          } else {
            std::snprintf(value, sizeof value, "%lld",
                          std::max<long long>(1, std::llround(timeout_seconds() * 1000)));
            execute(std::string("SET SESSION max_execution_time = ") + value);
          }
          session_changed_ = true;
        }
        execute("START TRANSACTION READ ONLY");
        break;
      case Dialect::kSqlite: {
        execute("PRAGMA query_only = ON");
        session_changed_ = true;
        if (has_timeout()) {
          sqlite_ = std::make_shared<SqliteDeadline>();
          sqlite_->deadline = std::chrono::steady_clock::now() +
                              std::chrono::microseconds(std::llround(timeout_seconds() * 1e6));
          auto state = sqlite_;
          py::cpp_function handler([state]() -> int {
            if (std::chrono::steady_clock::now() < state->deadline) return 0;
            state->fired = true;
            return 1;
          });
          driver_connection().attr("set_progress_handler")(handler, 1000);
        }
        break;
      }
      case Dialect::kMssql:
        // No read-only transaction on SQL Server: the guard and the rollback carry the weight.
        if (has_timeout()) {
          py::object driver = driver_connection();
          previous_mssql_timeout_ = driver.attr("timeout");
          driver.attr("timeout") = std::max<long long>(1, std::llround(timeout_seconds()));
          session_changed_ = true;
        }
        break;
      case Dialect::kOther:
        break;
    }
  }

  // Rolls back and undoes the session settings. A connection that cannot be cleaned is
  // invalidated, so the pool never hands it out again.
  void end() noexcept {
    try {
      connection().attr("rollback")();
      if (session_changed_) {
        switch (dialect_) {
          case Dialect::kMysql:
            execute(mariadb_ ? "SET SESSION max_statement_time = DEFAULT"
                             : "SET SESSION max_execution_time = DEFAULT");
            break;
          case Dialect::kSqlite:
            if (sqlite_) driver_connection().attr("set_progress_handler")(py::none(), 0);
            execute("PRAGMA query_only = OFF");
            break;
          case Dialect::kMssql:
            driver_connection().attr("timeout") = previous_mssql_timeout_;
            break;
          default:
            break;
        }
        connection().attr("rollback")();
      }
    } catch (...) {
      try {
        connection().attr("invalidate")();
      } catch (...) {
      }
    }
  }

  bool timed_out(py::error_already_set& error) const {
    if (!has_timeout() || !error.matches(library().dbapi_error)) return false;
    py::object original = py::getattr(error.value(), "orig", py::none());
    switch (dialect_) {
      case Dialect::kPostgresql:
        return py::str(py::getattr(original, "pgcode", py::str(""))).cast<std::string>() == "57014";
      case Dialect::kMysql: {
        py::object number = py::getattr(original, "errno", py::none());
        if (number.is_none()) return false;
        long long code = number.cast<long long>();
        return code == 1969 || code == 3024;
      }
      case Dialect::kSqlite:
        return sqlite_ && sqlite_->fired;
      case Dialect::kMssql: {
        py::tuple args = py::getattr(original, "args", py::tuple());
        if (args.empty()) return false;
        std::string state = py::str(args[0]).cast<std::string>();
        return state == "HYT00" || state == "HYT01";
      }
      case Dialect::kOther:
        break;
    }
    return false;
  }

 private:
  void execute(const std::string& sql) { connection().attr("exec_driver_sql")(sql); }

  py::object driver_connection() {
    return connection().attr("connection").attr("driver_connection");
  }

  py::object db_;
  Dialect dialect_;
  ConnectionGuard connection_;
  py::object timeout_;
  bool mariadb_ = false;
  bool session_changed_ = false;
  std::shared_ptr<SqliteDeadline> sqlite_;
  py::object previous_mssql_timeout_ = py::none();
};

}  // namespace

py::object run_read_only(py::object db, py::object command, const std::string& fetch,
                         bool include_columns, py::object parameters,
                         py::object execution_options) {
  const Library& lib = library();
  if (fetch != "all" && fetch != "one" && fetch != "cursor") {
    throw py::value_error("Fetch parameter must be either 'one', 'all', or 'cursor'");
  }
  py::object engine = db.attr("_engine");
  Dialect dialect = dialect_of(engine);

  std::string sql;
  py::object statement;
  if (py::isinstance<py::str>(command)) {
    sql = command.cast<std::string>();
  } else if (py::isinstance(command, lib.executable)) {
    sql = py::str(command.attr("compile")(py::arg("dialect") = engine.attr("dialect")))
              .cast<std::string>();
    statement = command;
  } else {
    throw py::type_error("Query expression has unknown type: " +
                         py::str(py::type::handle_of(command)).cast<std::string>());
  }

  auto verdict = core::check_read_only(
      sql, core::dialect_from_name(engine.attr("dialect").attr("name").cast<std::string>()));
  if (!verdict.allowed) {
    PyErr_SetString(lib.read_only_violation.ptr(), verdict.reason.c_str());
    throw py::error_already_set();
  }
  // Without parameters the text goes to the driver as written: no ":name" binds to trip over
  // inside quoted literals, no "%" to double.
  bool raw = !statement && (parameters.is_none() || py::len(parameters) == 0);
  if (!statement && !raw) statement = lib.text(verdict.statement);

  // No server-side cursor: psycopg2 names it at random, and the name would show in error texts.
  py::dict options;
  if (!execution_options.is_none()) options = py::dict(execution_options);
  py::object max_rows = db.attr("_max_rows");

  ReadOnlySession session(db, dialect);
  py::list rows;
  py::object keys = py::none();
  bool returns_rows = false;
  bool cut = false;
  try {
    session.begin();
    py::object result;
    if (raw) {
      options["no_parameters"] = true;
      result = session.connection().attr("exec_driver_sql")(verdict.statement,
                                                            py::arg("execution_options") = options);
    } else {
      result = session.connection().attr("execute")(statement,
                                                    parameters.is_none() ? py::dict() : parameters,
                                                    py::arg("execution_options") = options);
    }
    returns_rows = common::truthy(result.attr("returns_rows"));
    if (returns_rows) {
      keys = result.attr("keys")();
      if (fetch == "one") {
        rows = result.attr("fetchmany")(1);
      } else if (max_rows.is_none()) {
        rows = result.attr("fetchall")();
      } else {
        long long cap = max_rows.cast<long long>();
        rows = result.attr("fetchmany")(cap + 1);
        if (static_cast<long long>(py::len(rows)) > cap) {
          cut = true;
          rows = py::list(rows.attr("__getitem__")(py::slice(0, cap, 1)));
        }
      }
    }
    result.attr("close")();
  } catch (py::error_already_set& error) {
    session.end();
    if (session.timed_out(error)) {
      std::string limit = seconds_text(session.timeout_seconds());
      std::string detail = py::str(error.value().attr("orig")).attr("strip")().cast<std::string>();
      std::string message = "The query was cancelled for exceeding the time limit of " + limit +
                            (limit == "1" ? " second" : " seconds") + " (" + detail +
                            "). Make it cheaper: filter or aggregate earlier, avoid cross joins, "
                            "or ask for fewer rows.";
      py::raise_from(error, lib.statement_timeout.ptr(), message.c_str());
      throw py::error_already_set();
    }
    throw;
  }
  session.end();

  if (fetch == "cursor") {
    py::module_ result_module = py::module_::import("sqlalchemy.engine.result");
    py::list tuples;
    for (py::handle row : rows) tuples.append(as_tuple(row));
    py::object metadata =
        result_module.attr("SimpleResultMetaData")(keys.is_none() ? py::list() : py::list(keys));
    return result_module.attr("IteratorResult")(metadata, tuples.attr("__iter__")());
  }
  if (!returns_rows || py::len(rows) == 0) return py::str("");

  py::object length = db.attr("_max_string_length");
  py::list shown;
  for (py::handle row : rows) {
    if (include_columns) {
      py::dict values;
      for (auto item : row.attr("_asdict")().cast<py::dict>()) {
        values[item.first] = lib.truncate_word(item.second, py::arg("length") = length);
      }
      shown.append(values);
    } else {
      py::list values;
      for (py::handle value : row) {
        values.append(lib.truncate_word(value, py::arg("length") = length));
      }
      shown.append(py::tuple(values));
    }
  }
  std::string text = py::str(shown).cast<std::string>();
  if (cut) {
    text += "\n(Only the first " + py::str(max_rows).cast<std::string>() +
            " rows are shown; the query returned more.)";
  }
  return py::str(text);
}

}  // namespace norviai::sqlwrap
