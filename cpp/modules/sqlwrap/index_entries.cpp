// What the table index reads of a database: every usable table's name, column names, comments
// and referred tables, from the cached bulk catalogue (read whole on first use) and one query for
// the table comments, which schema texts do not print and the catalogue does not keep.
#include <map>
#include <string>
#include <vector>

#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

// Table comments by table name, where the engine keeps them in its catalogue.
std::map<std::string, std::string> table_comments(py::object db, Dialect dialect) {
  const char* sql = nullptr;
  if (dialect == Dialect::kPostgresql) {
    sql =
        "SELECT c.relname, obj_description(c.oid, 'pg_class') FROM pg_class c "
        "JOIN pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = COALESCE(:schema, current_schema()) "
        "AND obj_description(c.oid, 'pg_class') <> ''";
  } else if (dialect == Dialect::kMysql) {
    sql =
        "SELECT TABLE_NAME, TABLE_COMMENT FROM information_schema.TABLES "
        "WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE()) AND TABLE_COMMENT <> ''";
  }
  std::map<std::string, std::string> comments;
  if (sql == nullptr) return comments;
  ConnectionGuard connection(db.attr("_engine"));
  py::dict parameters;
  parameters["schema"] = db.attr("_schema");
  for (const py::tuple& row : fetch_all(connection.get(), sql, parameters)) {
    comments[text_of(row[0])] = text_of(row[1]);
  }
  connection.get().attr("rollback")();
  return comments;
}

}  // namespace

py::list index_entries(py::object db) {
  py::list usable(db.attr("get_usable_table_names")());
  std::vector<std::string> wanted;
  wanted.reserve(py::len(usable));
  for (py::handle name : usable) wanted.push_back(py::str(name).cast<std::string>());
  auto catalogue = catalogue_for(db, wanted, wanted.size());
  const auto table_comment = table_comments(db, catalogue->dialect);

  py::list entries;
  for (const auto& name : wanted) {
    auto found = catalogue->tables.find(name);
    if (found == catalogue->tables.end()) continue;
    const TableDef& table = found->second;
    py::list columns, comments, referred;
    if (table.comment && !table.comment->empty()) {
      comments.append(*table.comment);
    } else if (auto found_comment = table_comment.find(name);
               found_comment != table_comment.end()) {
      comments.append(found_comment->second);
    }
    for (const auto& column : table.columns) {
      columns.append(column.name);
      if (column.comment && !column.comment->empty()) comments.append(*column.comment);
    }
    for (const auto& key : table.foreign_keys) referred.append(key.referred_table);
    entries.append(py::make_tuple(name, columns, comments, referred));
  }
  return entries;
}

}  // namespace norviai::sqlwrap
