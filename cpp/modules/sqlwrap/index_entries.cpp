// What the table index reads of a database: every usable table's name, column names, comments
// and referred tables, from the cached bulk catalogue (read whole on first use), which keeps the
// table comments that PostgreSQL schema texts do not print.
#include <string>
#include <vector>

#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

py::list index_entries(py::object db) {
  py::list usable(db.attr("get_usable_table_names")());
  std::vector<std::string> wanted;
  wanted.reserve(py::len(usable));
  for (py::handle name : usable) wanted.push_back(py::str(name).cast<std::string>());
  auto catalogue = catalogue_for(db, wanted, wanted.size());

  GcPause pause;  // tens of thousands of names in lists and tuples
  py::list entries;
  for (const auto& name : wanted) {
    auto found = catalogue->tables.find(name);
    if (found == catalogue->tables.end()) continue;
    const TableDef& table = found->second;
    py::list columns, comments, referred;
    if (table.comment && !table.comment->empty()) comments.append(*table.comment);
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
