// Sample rows of get_table_info read in bulk: a few statements per batch of tables, each value
// printed as the library prints the value its own select would give.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

void append_value(std::string& out, py::handle value) {
  py::str text = py::str(value);
  Py_ssize_t length = PyUnicode_GetLength(text.ptr());
  py::object cut = text;
  if (length > 100) {
    cut = py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, 100));
    if (!cut) throw py::error_already_set();
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(cut.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  out.append(data, static_cast<size_t>(size));
}

namespace {

namespace common = norviai::py_common;

// The first 100 code points of UTF-8 text, which is what str(value)[:100] keeps of a str.
void append_text(std::string& out, const std::string& text) {
  size_t points = 0, end = 0;
  for (; end < text.size(); ++end) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && points++ == 100) break;
  }
  out.append(text, 0, end);
}

// PostgreSQL types whose output text psycopg2 hands back unchanged (text, varchar, char, name)
// or as a value whose str() is that text again (the integers: their output is canonical).
bool prints_as_output(long long oid) {
  return oid == 25 || oid == 1043 || oid == 1042 || oid == 19 || oid == 20 || oid == 21 ||
         oid == 23;
}

// Whether the engine's pool gives `wanted` more connections without waiting: a worker waiting
// for the connection this thread holds would wait out the pool's timeout.
bool spare_connections(py::handle engine, size_t wanted) {
  py::object pool = engine.attr("pool");
  if (py::isinstance(pool, common::import_from("sqlalchemy.pool", "NullPool"))) return true;
  if (!py::isinstance(pool, common::import_from("sqlalchemy.pool", "QueuePool"))) return false;
  auto overflow = py::getattr(pool, "_max_overflow", py::int_(0)).cast<long long>();
  if (overflow < 0) return true;  // no limit
  auto size = pool.attr("size")().cast<long long>();
  auto out = pool.attr("checkedout")().cast<long long>();
  return out + static_cast<long long>(wanted) <= size + overflow;
}

class SampleReader {
 public:
  SampleReader(py::object connection, const Catalogue& catalogue, long long count)
      : connection_(std::move(connection)),
        catalogue_(catalogue),
        count_(count),
        dialect_(connection_.attr("dialect")),
        quote_(dialect_.attr("identifier_preparer").attr("quote")) {}

  // Bulk where the engine allows it, else (and for a batch the engine refuses) one per table.
  void read(std::vector<Sample>& samples) {
    std::vector<Sample*> bulk, single;
    for (auto& sample : samples) (bulkable(sample) ? bulk : single).push_back(&sample);
    size_t batch = catalogue_.dialect == Dialect::kSqlite       ? kSqliteBatch
                   : catalogue_.dialect == Dialect::kPostgresql ? kPostgresqlBatch
                                                                : kMysqlBatch;
    std::vector<std::vector<Sample*>> parts;
    for (size_t begin = 0; begin < bulk.size(); begin += batch) {
      parts.emplace_back(bulk.begin() + begin, bulk.begin() + std::min(bulk.size(), begin + batch));
    }
    if (catalogue_.dialect == Dialect::kMysql) {
      for (const auto& part : parts) {
        if (!read_statements(part)) single.insert(single.end(), part.begin(), part.end());
      }
    } else {
      std::vector<std::string> statements;
      for (const auto& part : parts) statements.push_back(union_statement(part));
      std::vector<py::object> results = run_unions(statements);
      for (size_t i = 0; i < parts.size(); ++i) {
        if (results[i].is_none()) {
          single.insert(single.end(), parts[i].begin(), parts[i].end());
        } else {
          read_union(parts[i], results[i]);
        }
      }
    }
    for (Sample* sample : single) read_one(*sample);
  }

 private:
  // PostgreSQL plans a UNION ALL in time that grows faster than its length: short batches.
  static constexpr size_t kPostgresqlBatch = 25;
  static constexpr size_t kSqliteBatch = 400;  // under SQLite's 500 compound terms
  static constexpr size_t kMysqlBatch = 100;
  // From this many PostgreSQL batches on, further connections read shares of them meanwhile: a
  // fresh session spends most of a sample read opening each table for the first time.
  static constexpr size_t kParallelBatches = 4;
  static constexpr size_t kSampleConnections = 2;

  // Column names repeat across tables: each is quoted by the dialect once.
  const std::string& quoted(const std::string& name) {
    auto found = quoted_.find(name);
    if (found == quoted_.end()) {
      found = quoted_.emplace(name, quote_(name).cast<std::string>()).first;
    }
    return found->second;
  }

  std::string source(const TableDef& table) {
    std::string name = quoted(table.name);
    if (catalogue_.schema.is_none()) return name;
    return quote_(catalogue_.schema).cast<std::string>() + "." + name;
  }

  std::string select_list(const Sample& sample) {
    std::string list;
    for (const ColumnDef* column : sample.columns) {
      if (!list.empty()) list += ", ";
      list += quoted(column->name);
    }
    return list;
  }

  std::string limited_select(const Sample& sample) {
    return "SELECT " + select_list(sample) + " FROM " + source(*sample.table) + " LIMIT " +
           std::to_string(count_);
  }

  // Bulk reading needs the plain column values (no type wraps its column in SQL: a bitwise MySQL
  // SET, SQLite JSONB) and, on PostgreSQL, each column's result type (domains report their base).
  bool bulkable(const Sample& sample) {
    if (sample.columns.empty()) return false;
    if (catalogue_.dialect == Dialect::kMssql || catalogue_.dialect == Dialect::kOther) {
      return false;
    }
    for (const ColumnDef* column : sample.columns) {
      if (catalogue_.dialect == Dialect::kPostgresql && column->type_oid == 0) return false;
      if (wraps_column(*column)) return false;
    }
    return true;
  }

  // Readers share one type object between columns of the same type, so the answers are kept by
  // type object: SQLAlchemy's per-type dialect adaptation is the costly part of sample reading.
  bool wraps_column(const ColumnDef& column) {
    auto found = wraps_.find(column.type.ptr());
    if (found != wraps_.end()) return found->second;
    py::object typed = library().column(column.name, column.type);
    py::object expression =
        column.type.attr("dialect_impl")(dialect_).attr("column_expression")(typed);
    bool wraps = !expression.is_none() && !expression.is(typed);
    wraps_.emplace(column.type.ptr(), wraps);
    return wraps;
  }

  // Each column's processor for the driver's type code in `description`.
  std::vector<py::object> processors_for(const Sample& sample, py::handle description) {
    std::vector<py::object> processors;
    for (size_t i = 0; i < sample.columns.size(); ++i) {
      processors.push_back(processor(*sample.columns[i], py::tuple(description[py::int_(i)])[1]));
    }
    return processors;
  }

  // The rows as the library prints them: tab-separated values, a line each.
  void append_rows(std::string& out, py::handle rows, const std::vector<py::object>& processors) {
    bool first_row = true;
    for (py::handle row : rows) {
      if (!first_row) out += "\n";
      first_row = false;
      size_t i = 0;
      for (py::handle raw : row) {
        if (i) out += "\t";
        append_processed(out, processors[i], raw);
        ++i;
      }
    }
  }

  py::object processor(const ColumnDef& column, py::handle type_code) {
    bool keyed = type_code.is_none() || PyLong_CheckExact(type_code.ptr());
    std::pair<PyObject*, long long> key{column.type.ptr(), type_code.is_none() ? -1 : 0};
    if (keyed && !type_code.is_none()) key.second = type_code.cast<long long>();
    if (keyed) {
      auto found = processors_.find(key);
      if (found != processors_.end()) return found->second;
    }
    py::object made =
        column.type.attr("dialect_impl")(dialect_).attr("result_processor")(dialect_, type_code);
    if (keyed) processors_.emplace(key, made);
    return made;
  }

  py::object run(const std::string& sql) const {
    py::dict options;
    options["no_parameters"] = true;
    return connection_.attr("exec_driver_sql")(sql, py::arg("execution_options") = options);
  }

  // A value as the library prints it: through the column's result processor, if any.
  static void append_processed(std::string& out, const py::object& processor, py::handle raw) {
    if (processor.is_none()) {
      append_value(out, raw);
    } else {
      append_value(out, processor(raw));
    }
  }

  // One statement for the batch, each member a per-table LIMIT select. PostgreSQL carries each
  // row as the text of its record, whose fields are the columns' own output texts; the driver's
  // caster for each column's type turns them into the values a plain select would give. SQLite
  // values keep their storage class through a UNION ALL, so narrower rows are padded with NULL.
  std::string union_statement(const std::vector<Sample*>& part) {
    bool postgresql = catalogue_.dialect == Dialect::kPostgresql;
    size_t width = 0;
    for (Sample* sample : part) width = std::max(width, sample->columns.size());
    std::string sql;
    for (size_t i = 0; i < part.size(); ++i) {
      if (i) sql += " UNION ALL ";
      std::string member = limited_select(*part[i]);
      if (postgresql) {
        sql += "SELECT " + std::to_string(i) + ", CAST(s AS text) FROM (" + member + ") AS s";
      } else {
        sql += "SELECT " + std::to_string(i) + ", *";
        for (size_t pad = part[i]->columns.size(); pad < width; ++pad) sql += ", NULL";
        sql += " FROM (" + member + ")";
      }
    }
    return sql;
  }

  // The rows of each statement, None for one the engine refused (a table that cannot be read
  // this way, or an empty table some dialects report as an error: read on its own later). On
  // PostgreSQL a second connection of the engine takes the second half of many statements.
  std::vector<py::object> run_unions(const std::vector<std::string>& statements) {
    size_t shares = 1;
    if (catalogue_.dialect == Dialect::kPostgresql && statements.size() >= kParallelBatches &&
        spare_connections(connection_.attr("engine"), kSampleConnections - 1)) {
      shares = kSampleConnections;
    }
    // Share k of the statements: [begin(k), begin(k + 1)); share 0 is this connection's.
    auto begin = [&](size_t share) { return statements.size() * share / shares; };
    std::vector<py::object> futures;
    if (shares > 1) {
      executor_ = common::import_from("concurrent.futures", "ThreadPoolExecutor")(shares - 1);
      py::object engine = connection_.attr("engine");
      for (size_t share = 1; share < shares; ++share) {
        py::list theirs;
        for (size_t i = begin(share); i < begin(share + 1); ++i) theirs.append(statements[i]);
        py::cpp_function work([engine, theirs]() {
          ConnectionGuard connection(engine);
          py::list rows = run_statements(connection.get(), theirs);
          connection.get().attr("rollback")();
          return rows;
        });
        futures.push_back(executor_.attr("submit")(work));
      }
    }
    py::list mine;
    for (size_t i = 0; i < begin(1); ++i) mine.append(statements[i]);
    std::vector<py::object> results;
    try {
      for (py::handle rows : run_statements(connection_, mine)) {
        results.push_back(py::reinterpret_borrow<py::object>(rows));
      }
    } catch (py::error_already_set&) {
      if (executor_) executor_.attr("shutdown")();  // waits: the other connections are released
      throw;
    }
    for (py::object& future : futures) {
      for (py::handle rows : future.attr("result")()) {
        results.push_back(py::reinterpret_borrow<py::object>(rows));
      }
    }
    if (executor_) executor_.attr("shutdown")();
    return results;
  }

  static py::list run_statements(py::object connection, const py::list& statements) {
    py::dict options;
    options["no_parameters"] = true;
    py::list results;
    for (py::handle sql : statements) {
      try {
        py::object result =
            connection.attr("exec_driver_sql")(sql, py::arg("execution_options") = options);
        results.append(result.attr("cursor").attr("fetchall")());
        result.attr("close")();
      } catch (py::error_already_set& error) {
        if (!error.matches(library().dbapi_error)) throw;
        connection.attr("rollback")();
        results.append(py::none());
      }
    }
    return results;
  }

  void read_union(const std::vector<Sample*>& part, py::handle rows) {
    bool postgresql = catalogue_.dialect == Dialect::kPostgresql;
    py::object cursor, cast;
    if (postgresql) {
      cursor = connection_.attr("connection").attr("dbapi_connection").attr("cursor")();
      cast = cursor.attr("cast");
    }
    std::vector<std::vector<py::object>> processors(part.size());
    std::vector<std::vector<py::object>> oids(part.size());
    for (size_t t = 0; t < part.size(); ++t) {
      part[t]->rows = std::string();
      for (const ColumnDef* column : part[t]->columns) {
        py::object oid = postgresql ? py::object(py::int_(column->type_oid)) : py::none();
        processors[t].push_back(processor(*column, oid));
        oids[t].push_back(oid);
      }
    }
    std::vector<bool> first(part.size(), true), failed(part.size(), false);
    std::vector<std::optional<std::string>> fields;
    for (py::handle row : rows) {
      py::tuple values = as_tuple(row);
      size_t index = values[0].cast<size_t>();
      Sample& sample = *part.at(index);
      if (failed[index]) continue;
      if (postgresql && (!record_fields(values[1].cast<std::string>(), fields) ||
                         fields.size() != sample.columns.size())) {
        failed[index] = true;  // not a record text as expected: read this table alone
        continue;
      }
      std::string& out = *sample.rows;
      if (!first[index]) out += "\n";
      first[index] = false;
      for (size_t i = 0; i < sample.columns.size(); ++i) {
        if (i) out += "\t";
        const py::object& process = processors[index][i];
        if (!postgresql) {
          append_processed(out, process, values[i + 1]);
        } else if (!fields[i]) {
          append_processed(out, process, py::none());
        } else if (process.is_none() && prints_as_output(sample.columns[i]->type_oid)) {
          append_text(out, *fields[i]);
        } else {
          append_processed(out, process, cast(oids[index][i], py::str(*fields[i])));
        }
      }
    }
    if (cursor) cursor.attr("close")();
    for (size_t i = 0; i < part.size(); ++i) {
      if (failed[i]) read_one(*part[i]);
    }
  }

  // MariaDB and MySQL have no value that carries a row of any column types, and a JSON text of
  // the row loses what the driver makes of each type (decimals' scale, fractional seconds,
  // binary, SET flags). So the batch is one request of per-table selects: one round trip, each
  // result converted by the driver and the columns' processors exactly as a single select is.
  bool read_statements(const std::vector<Sample*>& part) {
    std::string sql;
    for (Sample* sample : part) {
      if (!sql.empty()) sql += "; ";
      sql += limited_select(*sample);
    }
    py::object driver_error = dialect_.attr("loaded_dbapi").attr("Error");
    std::vector<std::string> texts(part.size());
    py::object result;
    try {
      result = run(sql);
      py::object cursor = result.attr("cursor");
      for (size_t t = 0; t < part.size(); ++t) {
        if (t > 0 && !common::truthy(cursor.attr("nextset")())) {
          result.attr("close")();
          connection_.attr("rollback")();
          return false;  // fewer results than statements: read the tables one by one
        }
        const Sample& sample = *part[t];
        py::object description = cursor.attr("description");
        if (description.is_none() || py::len(description) != sample.columns.size()) {
          result.attr("close")();
          connection_.attr("rollback")();
          return false;
        }
        append_rows(texts[t], cursor.attr("fetchall")(), processors_for(sample, description));
      }
      result.attr("close")();
    } catch (py::error_already_set& error) {
      if (!error.matches(library().dbapi_error) && !error.matches(driver_error)) throw;
      if (result) result.attr("close")();
      connection_.attr("rollback")();
      return false;
    }
    for (size_t t = 0; t < part.size(); ++t) part[t]->rows = std::move(texts[t]);
    return true;
  }

  // The fields of a record's text, "(1,,\"a b\",\"x\"\"y\")": unquoted, empty (NULL), or quoted
  // with doubled or backslashed quotes and backslashes.
  static bool record_fields(const std::string& text, std::vector<std::optional<std::string>>& out) {
    out.clear();
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
    size_t i = 1;
    const size_t end = text.size() - 1;
    while (true) {
      std::string field;
      bool quoted = false;
      while (i < end && text[i] != ',') {
        if (text[i] == '"') {
          quoted = true;
          ++i;
          while (true) {
            if (i >= end) return false;
            char ch = text[i];
            if (ch == '\\') {
              if (i + 1 >= end) return false;
              field += text[i + 1];
              i += 2;
            } else if (ch == '"') {
              if (i + 1 < end && text[i + 1] == '"') {
                field += '"';
                i += 2;
              } else {
                ++i;
                break;
              }
            } else {
              field += ch;
              ++i;
            }
          }
        } else {
          field += text[i++];
        }
      }
      out.push_back(field.empty() && !quoted ? std::nullopt : std::optional<std::string>(field));
      if (i >= end) break;
      ++i;  // the comma
    }
    return true;
  }

  // One table alone, as before bulk reading: the statement written here (or compiled where a
  // type wraps its column), the values through the columns' SQLAlchemy types.
  void read_one(Sample& sample) {
    const Library& lib = library();
    const TableDef& table = *sample.table;
    bool compiled = false;
    py::list typed_columns;
    for (const ColumnDef* column : sample.columns) {
      compiled |= wraps_column(*column);
      typed_columns.append(lib.column(column->name, column->type));
    }
    std::string rows;
    try {
      py::object result;
      // A compiled select's values are processed already.
      std::vector<py::object> processors(sample.columns.size(), py::none());
      if (compiled || sample.columns.empty()) {
        py::object source_table =
            lib.table(table.name, *typed_columns, py::arg("schema") = catalogue_.schema);
        result = connection_.attr("execute")(lib.select(source_table).attr("limit")(count_));
      } else {
        std::string sql = catalogue_.dialect == Dialect::kMssql
                              ? "SELECT TOP " + std::to_string(count_) + " " + select_list(sample) +
                                    " FROM " + source(table)
                              : limited_select(sample);
        result = run(sql);
        processors = processors_for(sample, result.attr("cursor").attr("description"));
      }
      append_rows(rows, result.attr("fetchall")(), processors);
    } catch (py::error_already_set& error) {
      // Some dialects report an empty table as a ProgrammingError; the library shows no rows.
      if (!error.matches(lib.programming_error)) throw;
      connection_.attr("rollback")();
      rows.clear();
    }
    sample.rows = std::move(rows);
  }

  py::object connection_;
  const Catalogue& catalogue_;
  long long count_;
  py::object dialect_;
  py::object quote_;
  std::map<std::string, std::string> quoted_;
  std::map<PyObject*, bool> wraps_;
  std::map<std::pair<PyObject*, long long>, py::object> processors_;
  py::object executor_;
};

}  // namespace

void read_sample_rows(py::object connection, const Catalogue& catalogue, long long count,
                      std::vector<Sample>& samples) {
  SampleReader(std::move(connection), catalogue, count).read(samples);
}

}  // namespace norviai::sqlwrap
