// get_table_info for the wrapper: the cached bulk catalogue, the CREATE TABLE texts, and the
// sample-row comment blocks, in the layout of langchain_community's SQLDatabase.
#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

constexpr const char* kCatalogueAttribute = "_norviai_catalogue";

std::shared_ptr<Catalogue> cached_catalogue(py::object db) {
  py::object cached = py::getattr(db, kCatalogueAttribute, py::none());
  if (cached.is_none()) return nullptr;
  return cached.cast<std::shared_ptr<Catalogue>>();
}

}  // namespace

// The catalogue entries of `wanted` that are not cached yet, read in bulk and added to the cache:
// the whole catalogue when every usable table is wanted, else just those tables.
std::shared_ptr<Catalogue> catalogue_for(py::object db, const std::vector<std::string>& wanted,
                                         size_t usable_count) {
  auto catalogue = cached_catalogue(db);
  py::object engine = db.attr("_engine");
  if (!catalogue) {
    catalogue = std::make_shared<Catalogue>();
    catalogue->dialect = dialect_of(engine);
    catalogue->schema = db.attr("_schema");
    catalogue->views = common::truthy(db.attr("_view_support"));
    py::setattr(db, kCatalogueAttribute, py::cast(catalogue));
  }
  std::vector<std::string> missing;
  for (const auto& name : wanted) {
    if (!catalogue->tables.count(name) && !catalogue->absent.count(name)) missing.push_back(name);
  }
  if (missing.empty()) return catalogue;
  ConnectionGuard connection(engine);
  auto read = read_catalogue(connection.get(), catalogue->schema, catalogue->views,
                             missing.size() >= usable_count ? std::vector<std::string>{} : missing);
  connection.get().attr("rollback")();
  for (const auto& name : missing) {
    auto found = read->tables.find(name);
    if (found == read->tables.end()) {
      catalogue->absent.insert(name);
    } else {
      catalogue->tables.emplace(name, std::move(found->second));
    }
  }
  return catalogue;
}

namespace {

std::string rstrip(std::string text) {
  size_t end = text.find_last_not_of(" \t\r\n\f\v");
  text.resize(end == std::string::npos ? 0 : end + 1);
  return text;
}

// str(value)[:100], as SQLDatabase._get_sample_rows prints a value.
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

// One table's sample block: the table, the columns the library keeps, the rows once read.
struct Sample {
  const TableDef* table = nullptr;
  std::vector<const ColumnDef*> columns;
  std::vector<py::object> processors;  // the columns' SQLAlchemy result processors (None: none)
  std::optional<std::string> rows;
};

std::string sample_text(const Sample& sample, long long count) {
  std::string header;
  for (size_t i = 0; i < sample.columns.size(); ++i) {
    if (i) header += "\t";
    header += sample.columns[i]->name;
  }
  return std::to_string(count) + " rows from " + sample.table->name + " table:\n" + header + "\n" +
         sample.rows.value_or("");
}

class SampleReader {
 public:
  SampleReader(py::object connection, const Catalogue& catalogue, long long count)
      : connection_(std::move(connection)),
        catalogue_(catalogue),
        count_(count),
        dialect_(connection_.attr("dialect")),
        quote_(dialect_.attr("identifier_preparer").attr("quote")) {}

  // Fills every sample's rows: in bulk where the engine allows it, else one query per table.
  void read(std::vector<Sample>& samples) {
    std::vector<Sample*> bulk, single;
    for (auto& sample : samples) (bulkable(sample) ? bulk : single).push_back(&sample);
    size_t batch = catalogue_.dialect == Dialect::kSqlite ? kSqliteBatch : kPostgresqlBatch;
    for (size_t begin = 0; begin < bulk.size(); begin += batch) {
      std::vector<Sample*> part(bulk.begin() + begin,
                                bulk.begin() + std::min(bulk.size(), begin + batch));
      if (!read_batch(part)) single.insert(single.end(), part.begin(), part.end());
    }
    for (Sample* sample : single) read_one(*sample);
  }

 private:
  static constexpr size_t kPostgresqlBatch = 250;
  static constexpr size_t kSqliteBatch = 400;  // under SQLite's 500 compound terms

  std::string source(const TableDef& table) const {
    std::string name = quote_(table.name).cast<std::string>();
    if (catalogue_.schema.is_none()) return name;
    return quote_(catalogue_.schema).cast<std::string>() + "." + name;
  }

  std::string select_list(const Sample& sample) const {
    std::string list;
    for (const ColumnDef* column : sample.columns) {
      if (!list.empty()) list += ", ";
      list += quote_(column->name).cast<std::string>();
    }
    return list;
  }

  // Bulk reading needs the plain column values (no type wraps its column in SQL: a bitwise MySQL
  // SET, SQLite JSONB) and, on PostgreSQL, each column's result type (domains report their base).
  bool bulkable(const Sample& sample) const {
    if (sample.columns.empty()) return false;
    if (catalogue_.dialect != Dialect::kPostgresql && catalogue_.dialect != Dialect::kSqlite) {
      return false;
    }
    for (const ColumnDef* column : sample.columns) {
      if (catalogue_.dialect == Dialect::kPostgresql && column->type_oid == 0) return false;
      if (wraps_column(*column)) return false;
    }
    return true;
  }

  bool wraps_column(const ColumnDef& column) const {
    py::object typed = library().column(column.name, column.type);
    py::object expression =
        column.type.attr("dialect_impl")(dialect_).attr("column_expression")(typed);
    return !expression.is_none() && !expression.is(typed);
  }

  py::object processor(const ColumnDef& column, py::handle type_code) const {
    return column.type.attr("dialect_impl")(dialect_).attr("result_processor")(dialect_, type_code);
  }

  py::object run(const std::string& sql) const {
    py::dict options;
    options["no_parameters"] = true;
    return connection_.attr("exec_driver_sql")(sql, py::arg("execution_options") = options);
  }

  // One statement for the batch, each member a per-table LIMIT select. PostgreSQL carries each
  // row as the text of its record, whose fields are the columns' own output texts; the driver's
  // caster for each column's type turns them into the values a plain select would give. SQLite
  // values keep their storage class through a UNION ALL, so narrower rows are padded with NULL.
  bool read_batch(const std::vector<Sample*>& part) {
    bool postgresql = catalogue_.dialect == Dialect::kPostgresql;
    size_t width = 0;
    for (Sample* sample : part) width = std::max(width, sample->columns.size());
    std::string sql;
    for (size_t i = 0; i < part.size(); ++i) {
      if (i) sql += " UNION ALL ";
      std::string member = "SELECT " + select_list(*part[i]) + " FROM " + source(*part[i]->table) +
                           " LIMIT " + std::to_string(count_);
      if (postgresql) {
        sql += "SELECT " + std::to_string(i) + ", CAST(s AS text) FROM (" + member + ") AS s";
      } else {
        sql += "SELECT " + std::to_string(i) + ", *";
        for (size_t pad = part[i]->columns.size(); pad < width; ++pad) sql += ", NULL";
        sql += " FROM (" + member + ")";
      }
    }
    std::vector<py::object> rows;
    try {
      for (py::handle row : run(sql).attr("fetchall")()) {
        rows.push_back(py::reinterpret_borrow<py::object>(row));
      }
    } catch (py::error_already_set& error) {
      // A table that cannot be read this way (or an empty table some dialects report as an
      // error) is read on its own, with the library's handling.
      if (!error.matches(library().dbapi_error)) throw;
      connection_.attr("rollback")();
      return false;
    }
    py::object cursor;
    if (postgresql) {
      cursor = connection_.attr("connection").attr("dbapi_connection").attr("cursor")();
    }
    for (Sample* sample : part) {
      sample->rows = std::string();
      for (const ColumnDef* column : sample->columns) {
        sample->processors.push_back(
            processor(*column, postgresql ? py::object(py::int_(column->type_oid)) : py::none()));
      }
    }
    std::vector<bool> first(part.size(), true), failed(part.size(), false);
    std::vector<std::optional<std::string>> fields;
    for (const py::object& row : rows) {
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
        py::object value;
        if (postgresql) {
          py::object text = fields[i] ? py::object(py::str(*fields[i])) : py::object(py::none());
          value = cursor.attr("cast")(sample.columns[i]->type_oid, text);
        } else {
          value = values[i + 1];
        }
        if (!sample.processors[i].is_none()) value = sample.processors[i](value);
        append_value(out, value);
      }
    }
    if (cursor) cursor.attr("close")();
    for (size_t i = 0; i < part.size(); ++i) {
      if (failed[i]) read_one(*part[i]);
    }
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
      std::vector<py::object> processors(sample.columns.size(), py::none());
      if (compiled || sample.columns.empty()) {
        py::object source_table =
            lib.table(table.name, *typed_columns, py::arg("schema") = catalogue_.schema);
        result = connection_.attr("execute")(lib.select(source_table).attr("limit")(count_));
      } else {
        std::string list = select_list(sample);
        std::string sql =
            catalogue_.dialect == Dialect::kMssql
                ? "SELECT TOP " + std::to_string(count_) + " " + list + " FROM " + source(table)
                : "SELECT " + list + " FROM " + source(table) + " LIMIT " + std::to_string(count_);
        result = run(sql);
        py::object description = result.attr("cursor").attr("description");
        for (size_t i = 0; i < sample.columns.size(); ++i) {
          processors[i] = processor(*sample.columns[i], py::tuple(description[py::int_(i)])[1]);
        }
      }
      bool first_row = true;
      for (py::handle row : result.attr("fetchall")()) {
        if (!first_row) rows += "\n";
        first_row = false;
        size_t i = 0;
        for (py::handle raw : row) {
          if (i) rows += "\t";
          py::object value = processors[i].is_none() ? py::reinterpret_borrow<py::object>(raw)
                                                     : processors[i](raw);
          append_value(rows, value);
          ++i;
        }
      }
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
};

std::string table_indexes(py::object db, const std::string& name) {
  std::string text = "Table Indexes:\n";
  bool first = true;
  for (py::handle index : db.attr("_inspector").attr("get_indexes")(name)) {
    if (!first) text += "\n";
    first = false;
    text += library().format_index(index).cast<std::string>();
  }
  return text;
}

// The library's sample block for a table of the caller's metadata: select(table).limit(n).
std::string metadata_sample_rows(py::object db, py::handle table, long long count) {
  const Library& lib = library();
  std::string header;
  for (py::handle column : table.attr("columns")) {
    if (!header.empty()) header += "\t";
    header += py::str(column.attr("name")).cast<std::string>();
  }
  std::string rows;
  try {
    ConnectionGuard connection(db.attr("_engine"));
    py::object result = connection.get().attr("execute")(lib.select(table).attr("limit")(count));
    bool first_row = true;
    for (py::handle row : result) {
      if (!first_row) rows += "\n";
      first_row = false;
      bool first_value = true;
      for (py::handle value : row) {
        if (!first_value) rows += "\t";
        first_value = false;
        append_value(rows, value);
      }
    }
  } catch (py::error_already_set& error) {
    if (!error.matches(lib.programming_error)) throw;
    rows.clear();
  }
  return std::to_string(count) + " rows from " + py::str(table.attr("name")).cast<std::string>() +
         " table:\n" + header + "\n" + rows;
}

// A table's block: its CREATE TABLE text, the column comments when asked for, then the index and
// sample comment block.
struct Block {
  std::string create_text;
  py::dict comments;
  std::optional<std::string> indexes;
  std::optional<std::string> samples;
};

std::string assemble(const Block& block) {
  std::string text = block.create_text;
  if (py::len(block.comments) > 0) {
    text += "\n\n/*\nColumn Comments: " + py::str(block.comments).cast<std::string>() + "\n*/";
  }
  bool extra = block.indexes || block.samples;
  if (extra) text += "\n\n/*";
  if (block.indexes) text += "\n" + *block.indexes + "\n";
  if (block.samples) text += "\n" + *block.samples + "\n";
  if (extra) text += "*/";
  return text;
}

}  // namespace

void forget_catalogue(py::object db) { py::setattr(db, kCatalogueAttribute, py::none()); }

py::str table_info(py::object db, py::object table_names, bool get_col_comments) {
  py::list usable(db.attr("get_usable_table_names")());
  std::vector<std::string> wanted;
  if (!table_names.is_none()) {
    py::set missing = py::set(table_names).attr("difference")(usable);
    if (py::len(missing) > 0) {
      common::raise_error(PyExc_ValueError, "table_names " + py::str(missing).cast<std::string>() +
                                                " not found in database");
    }
    for (py::handle name : table_names) wanted.push_back(py::str(name).cast<std::string>());
  } else {
    for (py::handle name : usable) wanted.push_back(py::str(name).cast<std::string>());
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

  py::object engine = db.attr("_engine");
  bool sqlite = dialect_of(engine) == Dialect::kSqlite;
  py::object custom = db.attr("_custom_table_info");
  auto is_custom = [&custom](const std::string& name) {
    return common::truthy(custom) && custom.attr("__contains__")(name).cast<bool>();
  };
  long long sample_count = db.attr("_sample_rows_in_table_info").cast<long long>();
  bool with_indexes = common::truthy(db.attr("_indexes_in_table_info"));
  std::vector<std::string> blocks;

  // Tables of a metadata the caller passed in are printed from it, as the library prints them;
  // the catalogue serves the rest.
  std::set<std::string> wanted_set(wanted.begin(), wanted.end()), from_metadata;
  for (py::handle table : db.attr("_metadata").attr("sorted_tables")) {
    std::string name = py::str(table.attr("name")).cast<std::string>();
    if (!wanted_set.count(name)) continue;
    from_metadata.insert(name);
    if (sqlite && name.starts_with("sqlite_")) continue;
    if (is_custom(name)) {
      blocks.push_back(py::str(custom[py::str(name)]).cast<std::string>());
      continue;
    }
    py::object columns = table.attr("_columns");
    py::object null_type = library().types.attr("NullType");
    for (py::handle column : py::list(columns)) {
      if (py::type::of(column.attr("type")).is(null_type)) columns.attr("remove")(column);
    }
    Block block;
    py::object create = common::import_from("sqlalchemy.schema", "CreateTable")(table);
    block.create_text = rstrip(py::str(create.attr("compile")(engine)).cast<std::string>());
    if (get_col_comments) {
      for (py::handle column : table.attr("columns")) {
        if (common::truthy(column.attr("comment"))) {
          block.comments[column.attr("name")] = column.attr("comment");
        }
      }
    }
    if (with_indexes) block.indexes = table_indexes(db, name);
    if (sample_count != 0) block.samples = metadata_sample_rows(db, table, sample_count);
    blocks.push_back(assemble(block));
  }
  std::erase_if(wanted, [&](const std::string& name) { return from_metadata.count(name) > 0; });

  auto catalogue = catalogue_for(db, wanted, py::len(usable));
  std::optional<DdlWriter> writer;  // built when a table's text is not cached yet
  std::vector<Block> pending;
  std::vector<Sample> samples;
  for (const auto& name : wanted) {
    if (sqlite && name.starts_with("sqlite_")) continue;
    auto found = catalogue->tables.find(name);
    if (found == catalogue->tables.end()) continue;
    TableDef& table = found->second;
    if (is_custom(name)) {
      blocks.push_back(py::str(custom[py::str(name)]).cast<std::string>());
      continue;
    }
    if (!table.create_text) {
      if (!writer) writer.emplace(engine, *catalogue);
      table.create_text = rstrip(writer->create_table(table));
    }
    Block block;
    block.create_text = *table.create_text;
    if (get_col_comments) {
      for (const auto& column : table.columns) {
        if (!column.type.is_none() && column.comment && !column.comment->empty()) {
          block.comments[py::str(column.name)] = *column.comment;
        }
      }
    }
    if (with_indexes) block.indexes = table_indexes(db, name);
    if (sample_count != 0) {
      Sample sample;
      sample.table = &table;
      for (const auto& column : table.columns) {
        if (!column.type.is_none()) sample.columns.push_back(&column);
      }
      samples.push_back(std::move(sample));
    }
    pending.push_back(std::move(block));
  }
  if (!samples.empty()) {
    ConnectionGuard connection(engine);
    SampleReader(connection.get(), *catalogue, sample_count).read(samples);
    connection.get().attr("rollback")();
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    if (sample_count != 0) pending[i].samples = sample_text(samples[i], sample_count);
    blocks.push_back(assemble(pending[i]));
  }
  std::sort(blocks.begin(), blocks.end());
  std::string text;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i) text += "\n\n";
    text += blocks[i];
  }
  return py::str(text);
}

}  // namespace norviai::sqlwrap
