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

std::shared_ptr<Catalogue> load_catalogue(py::object db) {
  ConnectionGuard connection(db.attr("_engine"));
  auto catalogue = read_catalogue(connection.get(), db.attr("_schema"),
                                  common::truthy(db.attr("_view_support")));
  connection.get().attr("rollback")();
  py::setattr(db, kCatalogueAttribute, py::cast(catalogue));
  return catalogue;
}

std::string rstrip(std::string text) {
  size_t end = text.find_last_not_of(" \t\r\n\f\v");
  text.resize(end == std::string::npos ? 0 : end + 1);
  return text;
}

// "3 rows from <table> table:" with the column names and up to n rows, each value its str()
// cut to 100 characters, as SQLDatabase._get_sample_rows writes them. The SELECT is written here
// rather than compiled per table; the values still pass through the columns' SQLAlchemy types.
std::string sample_rows(py::object connection, const Catalogue& catalogue, const TableDef& table,
                        long long count) {
  const Library& lib = library();
  py::object dialect = connection.attr("dialect");
  py::object quote = dialect.attr("identifier_preparer").attr("quote");
  std::vector<const ColumnDef*> columns;
  std::string header, select_list;
  for (const auto& column : table.columns) {
    if (column.type.is_none()) continue;
    columns.push_back(&column);
    if (!header.empty()) {
      header += "\t";
      select_list += ", ";
    }
    header += column.name;
    select_list += quote(column.name).cast<std::string>();
  }
  std::string source = quote(table.name).cast<std::string>();
  if (!catalogue.schema.is_none()) {
    source = quote(catalogue.schema).cast<std::string>() + "." + source;
  }
  std::string sql =
      catalogue.dialect == Dialect::kMssql
          ? "SELECT TOP " + std::to_string(count) + " " + select_list + " FROM " + source
          : "SELECT " + select_list + " FROM " + source + " LIMIT " + std::to_string(count);
  // A type that wraps its column in SQL (a bitwise MySQL SET, SQLite JSONB) needs the compiled
  // statement; so does nothing else.
  bool compiled = false;
  py::list typed_columns;
  for (const ColumnDef* column : columns) {
    py::object typed = lib.column(column->name, column->type);
    py::object expression =
        column->type.attr("dialect_impl")(dialect).attr("column_expression")(typed);
    compiled |= !expression.is_none() && !expression.is(typed);
    typed_columns.append(typed);
  }
  py::dict options;
  options["no_parameters"] = true;
  std::string rows;
  try {
    py::object result;
    std::vector<py::object> processors(columns.size(), py::none());
    if (compiled) {
      py::object source_table =
          lib.table(table.name, *typed_columns, py::arg("schema") = catalogue.schema);
      result = connection.attr("execute")(lib.select(source_table).attr("limit")(count));
    } else {
      result = connection.attr("exec_driver_sql")(sql, py::arg("execution_options") = options);
      py::object description = result.attr("cursor").attr("description");
      for (size_t i = 0; i < columns.size(); ++i) {
        py::object type_code = py::tuple(description[py::int_(i)])[1];
        processors[i] = columns[i]->type.attr("dialect_impl")(dialect).attr("result_processor")(
            dialect, type_code);
      }
    }
    bool first_row = true;
    py::slice first_hundred(0, 100, 1);
    for (py::handle row : result.attr("fetchall")()) {
      if (!first_row) rows += "\n";
      first_row = false;
      size_t i = 0;
      for (py::handle raw : row) {
        if (i) rows += "\t";
        py::object value =
            processors[i].is_none() ? py::reinterpret_borrow<py::object>(raw) : processors[i](raw);
        rows += py::str(value)[first_hundred].cast<std::string>();
        ++i;
      }
    }
  } catch (py::error_already_set& error) {
    // Some dialects report an empty table as a ProgrammingError; the library shows no rows.
    if (!error.matches(lib.programming_error)) throw;
    connection.attr("rollback")();
    rows.clear();
  }
  return std::to_string(count) + " rows from " + table.name + " table:\n" + header + "\n" + rows;
}

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

}  // namespace

void forget_catalogue(py::object db) { py::setattr(db, kCatalogueAttribute, py::none()); }

py::str table_info(py::object db, py::object table_names, bool get_col_comments) {
  py::list usable(db.attr("get_usable_table_names")());
  std::vector<std::string> wanted;
  if (!table_names.is_none()) {
    py::set missing = py::set(table_names).attr("difference")(usable);
    if (py::len(missing) > 0) {
      throw py::value_error("table_names " + py::str(missing).cast<std::string>() +
                            " not found in database");
    }
    for (py::handle name : table_names) wanted.push_back(py::str(name).cast<std::string>());
  } else {
    for (py::handle name : usable) wanted.push_back(py::str(name).cast<std::string>());
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

  auto catalogue = cached_catalogue(db);
  bool fresh = !catalogue;
  if (fresh) catalogue = load_catalogue(db);
  for (const auto& name : wanted) {
    if (catalogue->tables.count(name) || catalogue->absent.count(name)) continue;
    if (!fresh) {  // created since the catalogue was read
      catalogue = load_catalogue(db);
      fresh = true;
    }
    if (!catalogue->tables.count(name)) catalogue->absent.insert(name);
  }

  py::object custom = db.attr("_custom_table_info");
  long long sample_count = db.attr("_sample_rows_in_table_info").cast<long long>();
  bool with_indexes = common::truthy(db.attr("_indexes_in_table_info"));
  bool sqlite = catalogue->dialect == Dialect::kSqlite;
  std::optional<DdlWriter> writer;  // built when a table's text is not cached yet

  std::unique_ptr<ConnectionGuard> connection;
  std::vector<std::string> blocks;
  for (const auto& name : wanted) {
    if (sqlite && name.starts_with("sqlite_")) continue;
    auto found = catalogue->tables.find(name);
    if (found == catalogue->tables.end()) continue;
    TableDef& table = found->second;
    if (common::truthy(custom) && custom.attr("__contains__")(name).cast<bool>()) {
      blocks.push_back(py::str(custom[py::str(name)]).cast<std::string>());
      continue;
    }
    if (!table.create_text) {
      if (!writer) writer.emplace(db.attr("_engine"), *catalogue);
      table.create_text = rstrip(writer->create_table(table));
    }
    std::string block = *table.create_text;
    if (get_col_comments) {
      py::dict comments;
      for (const auto& column : table.columns) {
        if (!column.type.is_none() && column.comment && !column.comment->empty()) {
          comments[py::str(column.name)] = *column.comment;
        }
      }
      if (py::len(comments) > 0) {
        block += "\n\n/*\nColumn Comments: " + py::str(comments).cast<std::string>() + "\n*/";
      }
    }
    bool extra = with_indexes || sample_count != 0;
    if (extra) block += "\n\n/*";
    if (with_indexes) block += "\n" + table_indexes(db, name) + "\n";
    if (sample_count != 0) {
      if (!connection) connection = std::make_unique<ConnectionGuard>(db.attr("_engine"));
      block += "\n" + sample_rows(connection->get(), *catalogue, table, sample_count) + "\n";
    }
    if (extra) block += "*/";
    blocks.push_back(std::move(block));
  }
  if (connection) connection->get().attr("rollback")();
  std::sort(blocks.begin(), blocks.end());
  std::string text;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i) text += "\n\n";
    text += blocks[i];
  }
  return py::str(text);
}

}  // namespace norviai::sqlwrap
