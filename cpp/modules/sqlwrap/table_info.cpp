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
  GcPause pause;
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

std::string sample_text(const Sample& sample, long long count) {
  std::string header;
  for (size_t i = 0; i < sample.columns.size(); ++i) {
    if (i) header += "\t";
    header += sample.columns[i]->name;
  }
  return std::to_string(count) + " rows from " + sample.table->name + " table:\n" + header + "\n" +
         sample.rows.value_or("");
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
    GcPause pause;
    ConnectionGuard connection(engine);
    read_sample_rows(connection.get(), *catalogue, sample_count, samples);
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
