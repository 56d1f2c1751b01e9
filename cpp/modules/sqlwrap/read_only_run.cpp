// run() for the wrapper: the lexical guard, then the statement in a read-only transaction that
// is always rolled back, under the statement time limit and the row cap, with the session reset
// afterwards. Rows are streamed from the driver and shortened as they arrive, so the host holds
// at most max_rows + 1 of them; the whole result text is capped too.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "core/sql_guard.hpp"
#include "core/text_util.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

constexpr long long kMaxResultChars = 100000;  // the whole result text, notes aside
// Rows are fetched in batches of about this many bytes of text and binary values (one row at
// least), so a few huge values never sit in memory together.
constexpr double kBatchBytes = 4 << 20;
constexpr long long kMaxBatch = 500;
constexpr const char* kLoggerName = "norviai.askflow.custom_sql";

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

py::object logger() { return py::module_::import("logging").attr("getLogger")(kLoggerName); }

// PostgreSQL declares a cursor only over a query: SELECT, WITH, VALUES or TABLE.
bool declarable(const std::string& statement) {
  std::size_t i = 0;
  while (i < statement.size() &&
         (statement[i] == '(' || static_cast<unsigned char>(statement[i]) <= ' ')) {
    ++i;
  }
  std::size_t end = i;
  while (end < statement.size() && std::isalpha(static_cast<unsigned char>(statement[end]))) ++end;
  const std::string first = core::ascii_upper(std::string_view(statement).substr(i, end - i));
  return first == "SELECT" || first == "WITH" || first == "VALUES" || first == "TABLE";
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
        }
        execute("START TRANSACTION READ ONLY");
        break;
      case Dialect::kSqlite: {
        execute("PRAGMA query_only = ON");
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

  // Rows left unread on the server: the connection is closed rather than drained.
  void discard_afterwards() { discard_ = true; }

  // Rolls back and resets the session, so that nothing a run did (locks, variables, temporary
  // objects, settings) reaches the next run on this pooled connection. A connection that cannot
  // be reset is invalidated, so the pool never hands it out again.
  void end() noexcept {
    try {
      if (discard_) {
        // A rollback would first read every row left (MySQL Connector keeps them all); closing
        // the socket ends the transaction on the server as well.
        py::object driver = driver_connection();
        if (py::hasattr(driver, "shutdown")) driver.attr("shutdown")();
        invalidate();
        return;
      }
      connection().attr("rollback")();
      switch (dialect_) {
        case Dialect::kPostgresql: {
          // DISCARD ALL runs outside a transaction only.
          py::object dbapi = dbapi_connection();
          dbapi.attr("autocommit") = true;
          py::object cursor = dbapi.attr("cursor")();
          cursor.attr("execute")("DISCARD ALL");
          cursor.attr("close")();
          dbapi.attr("autocommit") = false;
          break;
        }
        case Dialect::kMysql: {
          // COM_RESET_CONNECTION; drivers without it get a fresh connection next time.
          py::object driver = driver_connection();
          if (!py::hasattr(driver, "cmd_reset_connection") ||
              !common::truthy(driver.attr("cmd_reset_connection")())) {
            invalidate();
          }
          break;
        }
        case Dialect::kSqlite:
          if (sqlite_) driver_connection().attr("set_progress_handler")(py::none(), 0);
          execute("PRAGMA query_only = OFF");
          connection().attr("rollback")();
          break;
        case Dialect::kMssql:
          if (session_changed_) driver_connection().attr("timeout") = previous_mssql_timeout_;
          break;
        case Dialect::kOther:
          break;
      }
    } catch (...) {
      invalidate();
    }
  }

  py::object dbapi_connection() { return connection().attr("connection").attr("dbapi_connection"); }

  bool timed_out(py::error_already_set& error) const {
    if (!has_timeout() || !error.matches(library().dbapi_error)) return false;
    py::object original = py::getattr(error.value(), "orig", py::none());
    if (original.is_none()) return false;
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

  void invalidate() noexcept {
    try {
      connection().attr("invalidate")();
    } catch (...) {
    }
  }

  py::object driver_connection() {
    return connection().attr("connection").attr("driver_connection");
  }

  py::object db_;
  Dialect dialect_;
  ConnectionGuard connection_;
  py::object timeout_;
  bool mariadb_ = false;
  bool session_changed_ = false;  // SQL Server's driver time-out
  bool discard_ = false;
  std::shared_ptr<SqliteDeadline> sqlite_;
  py::object previous_mssql_timeout_ = py::none();
};

// Bytes shortened the way the library shortens text; memoryview (PostgreSQL's bytea) read as
// bytes, whose text shows the content rather than an address.
py::object shorten_bytes(py::handle value, long long length) {
  py::object bytes = py::isinstance<py::memoryview>(value)
                         ? py::reinterpret_steal<py::object>(PyBytes_FromObject(value.ptr()))
                         : py::reinterpret_borrow<py::object>(value);
  if (!bytes) throw py::error_already_set();
  constexpr long long kSuffix = 3;
  if (length <= 0 || static_cast<long long>(py::len(bytes)) <= length) return bytes;
  py::object head = bytes.attr("__getitem__")(py::slice(0, std::max(0LL, length - kSuffix), 1));
  py::bytes suffix("...");
  py::object kept = head.attr("rsplit")(py::bytes(" "), 1)[py::int_(0)];
  return kept.attr("__add__")(suffix);
}

bool is_binary(py::handle value) {
  return PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) ||
         py::isinstance<py::memoryview>(value);
}

// The rows as the library's run() prints them, each value shortened, built row by row up to
// kMaxResultChars.
class ResultText {
 public:
  ResultText(bool include_columns, py::object length)
      : include_columns_(include_columns),
        length_(std::move(length)),
        length_value_(length_.is_none() ? 0 : length_.cast<long long>()) {}

  void set_keys(py::object keys) { keys_ = std::move(keys); }
  bool full() const { return cut_; }

  // Adds one row; returns the size of its text and binary values as fetched.
  double add(py::handle row) {
    double size = 0;
    py::list values;
    for (py::handle value : row) {
      if (PyUnicode_Check(value.ptr())) {
        size += static_cast<double>(PyUnicode_GET_LENGTH(value.ptr()));
        values.append(library().truncate_word(value, py::arg("length") = length_));
      } else if (is_binary(value)) {
        size += static_cast<double>(py::len(value));
        values.append(shorten_bytes(value, length_value_));
      } else {
        values.append(value);
      }
    }
    py::object shown =
        include_columns_
            ? py::object(py::dict(py::module_::import("builtins").attr("zip")(keys_, values)))
            : py::object(py::tuple(values));
    py::str piece = py::repr(shown);
    const long long piece_length = static_cast<long long>(py::len(piece));
    const long long separator = rows_ == 0 ? 0 : 2;
    if (chars_ + separator + piece_length + 1 > kMaxResultChars) {
      cut_ = true;
      if (rows_ > 0) return size;
      inside_first_row_ = true;
      piece = piece.attr("__getitem__")(py::slice(0, kMaxResultChars - chars_ - 1, 1));
    }
    pieces_.append(piece);
    chars_ += separator + static_cast<long long>(py::len(piece));
    ++rows_;
    return size;
  }

  py::str finish(bool rows_cut, py::handle max_rows) const {
    if (rows_ == 0) return py::str("");
    std::string text = "[" + py::str(", ").attr("join")(pieces_).cast<std::string>() + "]";
    const std::string limit = std::to_string(kMaxResultChars);
    if (inside_first_row_) {
      text += "\n(The result text was cut at " + limit +
              " characters inside its first row; select fewer or shorter columns.)";
    } else if (cut_) {
      text += "\n(Only the first " + std::to_string(rows_) +
              " rows are shown: the result text is "
              "limited to " +
              limit + " characters; select fewer columns or rows, or aggregate.)";
    } else if (rows_cut) {
      text += "\n(Only the first " + py::str(max_rows).cast<std::string>() +
              " rows are shown; the query returned more.)";
    }
    return py::str(text);
  }

 private:
  bool include_columns_;
  py::object length_;
  long long length_value_;
  py::object keys_ = py::list();
  py::list pieces_;
  long long chars_ = 1;  // the opening '['
  std::size_t rows_ = 0;
  bool cut_ = false;
  bool inside_first_row_ = false;
};

// Raises a driver's error as SQLAlchemy raises it from execute(), its cause the driver's error.
[[noreturn]] void raise_wrapped(py::error_already_set& error, const std::string& sql,
                                py::handle dialect) {
  py::object dbapi = dialect.attr("loaded_dbapi");
  if (!error.matches(dbapi.attr("Error"))) throw error;
  py::object wrapped = library().dbapi_error.attr("instance")(
      sql, py::none(), error.value(), dbapi.attr("Error"), py::arg("dialect") = dialect);
  PyException_SetCause(wrapped.ptr(), error.value().inc_ref().ptr());  // steals the reference
  common::raise_error(wrapped);
}

}  // namespace

py::object run_read_only(py::object db, py::object command, const std::string& fetch,
                         bool include_columns, py::object parameters,
                         py::object execution_options) {
  const Library& lib = library();
  if (fetch != "all" && fetch != "one" && fetch != "cursor") {
    common::raise_error(PyExc_ValueError,
                        "Fetch parameter must be either 'one', 'all', or 'cursor'");
  }
  py::object engine = db.attr("_engine");
  py::object sa_dialect = engine.attr("dialect");
  Dialect dialect = dialect_of(engine);

  std::string sql;
  py::object statement;
  if (py::isinstance<py::str>(command)) {
    sql = command.cast<std::string>();
  } else if (py::isinstance(command, lib.executable)) {
    sql = py::str(command.attr("compile")(py::arg("dialect") = sa_dialect)).cast<std::string>();
    statement = command;
  } else {
    common::raise_error(PyExc_TypeError,
                        "Query expression has unknown type: " +
                            py::str(py::type::handle_of(command)).cast<std::string>());
  }

  auto verdict = core::check_read_only(
      sql, core::dialect_from_name(sa_dialect.attr("name").cast<std::string>()));
  if (!verdict.allowed) {
    common::raise_error(lib.read_only_violation.ptr(), verdict.reason);
  }
  // Without parameters the text goes to the driver as written: no ":name" binds to trip over
  // inside quoted literals, no "%" to double.
  const bool raw = !statement && (parameters.is_none() || py::len(parameters) == 0);
  if (!statement && !raw) statement = lib.text(verdict.statement);
  const std::string driver = py::str(sa_dialect.attr("driver")).cast<std::string>();
  const bool pg_cursor = dialect == Dialect::kPostgresql && declarable(verdict.statement) &&
                         (driver == "psycopg2" || driver == "psycopg");

  py::object max_rows = db.attr("_max_rows");
  const long long limit =
      fetch == "one" ? 1 : (max_rows.is_none() ? -1 : max_rows.cast<long long>());

  ReadOnlySession session(db, dialect);
  ResultText text(include_columns, db.attr("_max_string_length"));
  py::list tuples;  // fetch="cursor"
  py::object keys = py::list();
  bool returns_rows = false;
  bool cut = false;
  try {
    session.begin();
    // Where the driver can stream, rows stay on the server until fetched: a named (server-side)
    // cursor on PostgreSQL, an unbuffered one on MySQL.
    py::object cursor;
    py::object result;
    try {
      if (raw) {
        py::object dbapi = session.dbapi_connection();
        if (pg_cursor) {
          cursor = dbapi.attr("cursor")("norviai_rows");  // a fixed name keeps error texts stable
        } else if (dialect == Dialect::kMysql && driver == "mysqlconnector") {
          cursor = dbapi.attr("cursor")(py::arg("buffered") = false);
        } else if (dialect == Dialect::kMysql && driver == "pymysql") {
          cursor = dbapi.attr("cursor")(py::module_::import("pymysql.cursors").attr("SSCursor"));
        } else {
          cursor = dbapi.attr("cursor")();
        }
        cursor.attr("execute")(verdict.statement);
      } else {
        py::dict options;
        if (!execution_options.is_none()) options = py::dict(execution_options);
        if (pg_cursor) {
          options["stream_results"] = true;
          options["max_row_buffer"] = kMaxBatch;
        }
        result = session.connection().attr("execute")(
            statement, parameters.is_none() ? py::dict() : parameters,
            py::arg("execution_options") = options);
      }
      const auto fetch_rows = [&](long long count) -> py::list {
        return cursor ? py::list(cursor.attr("fetchmany")(count))
                      : py::list(result.attr("fetchmany")(count));
      };
      returns_rows = cursor ? (pg_cursor || !cursor.attr("description").is_none())
                            : common::truthy(result.attr("returns_rows"));
      if (returns_rows && !cursor) {
        keys = py::list(result.attr("keys")());
        text.set_keys(keys);
      }
      const long long probe = fetch == "one" ? 0 : 1;
      long long kept = 0;
      long long batch = 1;
      bool keys_read = !cursor;
      while (returns_rows && !text.full() && (limit < 0 || kept <= limit)) {
        // One row past the cap tells that rows were cut; fetch="one" needs no such telling.
        const long long want = limit < 0 ? batch : std::min(batch, limit + probe - kept);
        if (want <= 0) break;
        py::list rows = fetch_rows(want);
        if (!keys_read) {
          // A named cursor describes its columns only once fetched from.
          py::object description = cursor.attr("description");
          py::list names;
          if (!description.is_none()) {
            for (py::handle column : description) names.append(column[py::int_(0)]);
          }
          keys = names;
          keys_read = true;
          text.set_keys(keys);
        }
        double size = 0;
        for (py::handle row : rows) {
          if (limit >= 0 && kept == limit) {
            cut = true;
            break;
          }
          ++kept;
          if (fetch == "cursor") {
            tuples.append(as_tuple(row));
            for (py::handle value : row) {
              if (PyUnicode_Check(value.ptr()) || is_binary(value)) {
                size += static_cast<double>(py::len(value));
              }
            }
          } else {
            size += text.add(row);
          }
        }
        if (cut || static_cast<long long>(py::len(rows)) < want) break;
        const double per_row = std::max(1.0, size / static_cast<double>(py::len(rows)));
        batch = std::clamp(static_cast<long long>(kBatchBytes / per_row), 1LL, kMaxBatch);
      }
      const bool unread = cut || text.full() || (fetch == "one" && kept == 1);
      if (unread && dialect == Dialect::kMysql && cursor) session.discard_afterwards();
      if (cursor && !(unread && dialect == Dialect::kMysql)) cursor.attr("close")();
      if (result) result.attr("close")();
    } catch (py::error_already_set& error) {
      if (cursor) raise_wrapped(error, verdict.statement, sa_dialect);
      throw;
    }
  } catch (py::error_already_set& error) {
    session.end();
    if (session.timed_out(error)) {
      std::string limit_text = seconds_text(session.timeout_seconds());
      std::string detail = py::str(error.value().attr("orig")).attr("strip")().cast<std::string>();
      std::string message = "The query was cancelled for exceeding the time limit of " +
                            limit_text + (limit_text == "1" ? " second" : " seconds") + " (" +
                            detail +
                            "). Make it cheaper: filter or aggregate earlier, avoid cross joins, "
                            "or ask for fewer rows.";
      py::raise_from(error, lib.statement_timeout.ptr(), message.c_str());
      throw py::error_already_set();
    }
    throw;
  }
  session.end();

  if (fetch == "cursor") {
    if (cut) {
      logger().attr("warning")(
          "run(fetch='cursor') returns only the first %s rows (max_rows); the query returned "
          "more.",
          max_rows);
    }
    py::module_ result_module = py::module_::import("sqlalchemy.engine.result");
    py::object metadata = result_module.attr("SimpleResultMetaData")(keys);
    return result_module.attr("IteratorResult")(metadata, tuples.attr("__iter__")());
  }
  if (!returns_rows) return py::str("");
  return text.finish(cut, max_rows);
}

void warn_if_privileged(py::object db) {
  py::object engine = db.attr("_engine");
  std::string sql;
  switch (dialect_of(engine)) {
    case Dialect::kPostgresql:
      sql =
          "SELECT rolsuper OR pg_has_role(current_user, 'pg_read_server_files', 'USAGE') OR "
          "pg_has_role(current_user, 'pg_write_server_files', 'USAGE') OR "
          "pg_has_role(current_user, 'pg_execute_server_program', 'USAGE') "
          "FROM pg_roles WHERE rolname = current_user";
      break;
    case Dialect::kMysql:
      sql =
          "SELECT COUNT(*) > 0 FROM information_schema.USER_PRIVILEGES "
          "WHERE PRIVILEGE_TYPE IN ('FILE', 'SUPER') AND GRANTEE = CONCAT('''', "
          "SUBSTRING_INDEX(CURRENT_USER(), '@', 1), '''@''', "
          "SUBSTRING_INDEX(CURRENT_USER(), '@', -1), '''')";
      break;
    default:
      return;
  }
  bool privileged = false;
  try {
    ConnectionGuard connection(engine);
    privileged = common::truthy(connection.get().attr("exec_driver_sql")(sql).attr("scalar")());
    connection.get().attr("rollback")();
  } catch (py::error_already_set& error) {
    // Only advice: a role that may not read the catalogue is no reason to fail construction.
    if (!error.matches(library().sqlalchemy_error)) throw;
    return;
  }
  if (privileged) {
    logger().attr("warning")(
        "CustomSQLDatabase: the connection's database role is a superuser or may read or write "
        "files on the server. Generated SQL runs read-only, but connect with a read-only role "
        "that may read only the tables the questions need.");
  }
}

}  // namespace norviai::sqlwrap
