// SQLite catalogue: three queries over sqlite_master joined with the table-valued pragmas
// (columns, foreign keys, automatic unique indexes); constraint names, options and checks are
// read from the stored CREATE TABLE text with SQLAlchemy's SQLite reflection patterns.
#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/text_util.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

// The patterns SQLAlchemy's SQLite dialect applies to CREATE TABLE texts.
struct Patterns {
  py::module_ re = py::module_::import("re");
  py::object primary_key = compile(R"re(CONSTRAINT\s+(?:"(.+?)"|(\w+))\s+PRIMARY\s+KEY)re");
  py::object foreign_key =
      py::module_::import("sqlalchemy.dialects.sqlite.base").attr("FK_PATTERN");
  py::object column_names = compile(R"re((?:"(.+?)")|([a-z0-9_]+))re");
  py::object unique = compile(R"re((?:CONSTRAINT\s+(?:"(.+?)"|(\w+))\s+)?UNIQUE\s*\((.+?)\))re");
  py::object inline_unique = compile(R"re((?:(".+?")|(?:[\[`])?([a-z0-9_]+)(?:[\]`])?))re"
                                     R"re([\t ]+[a-z0-9_]+(?:[\t ]+[a-z0-9_]+)*?[\t ]+UNIQUE)re");
  py::object check = re.attr("compile")(
      R"re((?<![A-Za-z0-9_])(?:CONSTRAINT\s+)re"
      R"re(("(?:[^"]|"")+"|'(?:[^']|'')+'|\[(?:[^\]]|\]\])+\]|`(?:[^`]|``)+`|\S+))re"
      R"re(\s+)?CHECK\s*\()re",
      re.attr("IGNORECASE"));
  py::object quoted_name =
      re.attr("compile")(R"re(^(["'`])(.+)\1$|^\[(.+)\]$)re", re.attr("DOTALL"));
  py::object spaces = re.attr("compile")(R"re(\s+)re");
  py::object on_split = re.attr("compile")(R"re( *\bON\b *)re");
  py::object table_body =
      re.attr("compile")(R"re(create table .*?\((.*)\)(?:\s*,?\s*(?:WITHOUT\s+ROWID|STRICT))*$)re",
                         re.attr("DOTALL") | re.attr("IGNORECASE"));
  py::object table_options =
      py::module_::import("sqlalchemy.dialects.sqlite.base").attr("TABLE_OPTIONS_PATTERN");
  py::object find_matching_paren =
      py::module_::import("sqlalchemy.util").attr("find_matching_paren");

  py::object compile(const char* pattern) const {
    return re.attr("compile")(pattern, re.attr("IGNORECASE"));
  }

  std::vector<std::string> columns_in(py::handle signature) const {
    std::vector<std::string> names;
    for (py::handle match : column_names.attr("finditer")(signature)) {
      py::object name = match.attr("group")(1);
      if (name.is_none()) name = match.attr("group")(2);
      names.push_back(name.cast<std::string>());
    }
    return names;
  }
};

bool word_char(char ch) {
  auto byte = static_cast<unsigned char>(ch);
  return std::isalnum(byte) || ch == '_' || byte >= 0x80;
}

// SQLAlchemy's _resolve_type_affinity: the declared type, or the affinity SQLite gives it.
py::object resolve_affinity(py::handle ischema_names, const std::string& declared) {
  py::handle types = library().types;
  size_t i = 0;
  while (i < declared.size() && (word_char(declared[i]) || declared[i] == ' ')) ++i;
  std::string name = declared.substr(0, i);
  std::string arguments;  // "(10, 2)" when the declaration has a closed argument list
  if (i > 0 && i < declared.size() && declared[i] == '(') {
    size_t close = declared.find(')', i);
    if (close != std::string::npos) arguments = declared.substr(i, close - i + 1);
  }
  py::object cls;
  if (ischema_names.attr("__contains__")(name).cast<bool>()) {
    cls = ischema_names[py::str(name)];
  } else if (name.find("INT") != std::string::npos) {
    cls = types.attr("INTEGER");
  } else if (name.find("CHAR") != std::string::npos || name.find("CLOB") != std::string::npos ||
             name.find("TEXT") != std::string::npos) {
    cls = types.attr("TEXT");
  } else if (name.find("BLOB") != std::string::npos || name.empty()) {
    return py::none();  // NullType: the library leaves such columns out
  } else if (name.find("REAL") != std::string::npos || name.find("FLOA") != std::string::npos ||
             name.find("DOUB") != std::string::npos) {
    cls = types.attr("REAL");
  } else {
    cls = types.attr("NUMERIC");
  }
  py::object type = make_type(cls, py::tuple(integers_in(arguments)), py::dict());
  if (py::isinstance(type, types.attr("NullType"))) return py::none();
  return type;
}

std::string unquote_name(const Patterns& patterns, const std::string& name) {
  py::object match = patterns.quoted_name.attr("match")(name);
  if (match.is_none()) return name;
  py::object inner = match.attr("group")(2);
  if (inner.is_none()) inner = match.attr("group")(3);
  return inner.cast<std::string>();
}

struct PragmaKey {
  long long id = 0;
  ForeignKeyDef key;
};

// Foreign keys as the library builds them: the pragma's keys, named and given options where the
// CREATE TABLE text spells them out, those first in text order, then the rest in pragma order.
std::vector<ForeignKeyDef> foreign_keys(const Patterns& patterns, const std::string& sql,
                                        std::vector<PragmaKey> pragma_keys) {
  auto signature = [](const std::vector<std::string>& columns, const std::string& table,
                      const std::vector<std::string>& referred) {
    std::string text;
    for (const auto& c : columns) text += c + '\x1f';
    text += '\x1e' + table + '\x1e';
    for (const auto& c : referred) text += c + '\x1f';
    return text;
  };
  std::vector<ForeignKeyDef> named;
  for (py::handle match : patterns.foreign_key.attr("finditer")(sql)) {
    py::object name = match.attr("group")(1);
    if (name.is_none()) name = match.attr("group")(2);
    auto constrained = patterns.columns_in(match.attr("group")(3));
    py::object referred_text = match.attr("group")(6);
    auto referred = referred_text.is_none() || !common::truthy(referred_text)
                        ? constrained
                        : patterns.columns_in(referred_text);
    py::object referred_name = match.attr("group")(4);
    if (referred_name.is_none()) referred_name = match.attr("group")(5);
    std::string wanted = signature(constrained, referred_name.cast<std::string>(), referred);
    auto found = std::find_if(pragma_keys.begin(), pragma_keys.end(), [&](const PragmaKey& key) {
      return signature(key.key.columns, key.key.referred_table, key.key.referred_columns) == wanted;
    });
    if (found == pragma_keys.end()) continue;
    ForeignKeyDef key = std::move(found->key);
    pragma_keys.erase(found);
    key.name = optional_text(name);
    std::string actions =
        py::str(patterns.spaces.attr("sub")(" ", match.attr("group")(7).attr("upper")()))
            .attr("strip")()
            .cast<std::string>();
    std::string on_delete, on_update;
    for (py::handle token : patterns.on_split.attr("split")(actions)) {
      auto text = token.cast<std::string>();
      auto action = [&] { return py::str(text.substr(6)).attr("strip")().cast<std::string>(); };
      if (text.starts_with("DELETE") && action() != "NO ACTION") on_delete = action();
      if (text.starts_with("UPDATE") && action() != "NO ACTION") on_update = action();
    }
    if (!on_delete.empty()) key.tail += " ON DELETE " + on_delete;
    if (!on_update.empty()) key.tail += " ON UPDATE " + on_update;
    py::object deferrable = match.attr("group")(8);
    if (!deferrable.is_none()) {
      bool negated =
          core::ascii_upper(deferrable.cast<std::string>()).find("NOT") != std::string::npos;
      key.tail += negated ? " NOT DEFERRABLE" : " DEFERRABLE";
    }
    py::object initially = match.attr("group")(9);
    if (!initially.is_none())
      key.tail += " INITIALLY " + core::ascii_upper(initially.cast<std::string>());
    named.push_back(std::move(key));
  }
  for (auto& rest : pragma_keys) named.push_back(std::move(rest.key));
  return named;
}

std::vector<UniqueDef> unique_constraints(
    const Patterns& patterns, const std::string& sql,
    std::map<std::vector<std::string>, bool> automatic_indexes) {
  std::vector<std::pair<std::optional<std::string>, std::vector<std::string>>> parsed;
  for (py::handle match : patterns.unique.attr("finditer")(sql)) {
    py::object name = match.attr("group")(1);
    if (name.is_none()) name = match.attr("group")(2);
    parsed.emplace_back(optional_text(name), patterns.columns_in(match.attr("group")(3)));
  }
  for (py::handle match : patterns.inline_unique.attr("finditer")(sql)) {
    py::object column = match.attr("group")(1);
    if (column.is_none()) column = match.attr("group")(2);
    parsed.emplace_back(std::nullopt, patterns.columns_in(column));
  }
  std::vector<UniqueDef> uniques;
  for (auto& [name, columns] : parsed) {
    auto found = automatic_indexes.find(columns);
    if (found == automatic_indexes.end()) continue;
    automatic_indexes.erase(found);
    uniques.push_back(UniqueDef{name, columns, ""});
  }
  return uniques;
}

std::vector<CheckDef> check_constraints(const Patterns& patterns, const std::string& sql) {
  std::vector<CheckDef> checks;
  py::str text(sql);
  for (py::handle match : patterns.check.attr("finditer")(text)) {
    py::object name = match.attr("group")(1);
    long long end = match.attr("end")().cast<long long>();
    py::object close = patterns.find_matching_paren(text, end - 1);
    if (close.is_none()) continue;
    py::object body = text[py::slice(end, close.cast<long long>(), 1)].attr("strip")();
    std::optional<std::string> unquoted;
    if (!name.is_none()) unquoted = unquote_name(patterns, name.cast<std::string>());
    checks.push_back(CheckDef{unquoted, body.cast<std::string>(), ""});
  }
  std::stable_sort(checks.begin(), checks.end(), [](const CheckDef& a, const CheckDef& b) {
    return a.name.value_or("~") < b.name.value_or("~");
  });
  return checks;
}

}  // namespace

void read_sqlite(py::handle connection, Catalogue& catalogue) {
  py::object dialect = connection.attr("dialect");
  py::object ischema_names = dialect.attr("ischema_names");
  Patterns patterns;
  std::string master = "sqlite_master";
  std::string pragma_schema;
  py::dict parameters;
  if (!catalogue.schema.is_none()) {
    master = dialect.attr("identifier_preparer")
                 .attr("quote_identifier")(catalogue.schema)
                 .cast<std::string>() +
             ".sqlite_master";
    pragma_schema = ", :schema";
    parameters["schema"] = catalogue.schema;
  }

  std::map<std::string, std::string> table_sql;
  std::map<std::string, std::vector<std::pair<long long, std::string>>> positions;
  // A view over a dropped table would fail the whole query: views only when asked for.
  std::string kinds = catalogue.views ? "'table', 'view'" : "'table'";
  for (const py::tuple& row : fetch_all(
           connection,
           "SELECT m.name, m.sql, p.name, p.type, p.\"notnull\", p.dflt_value, p.pk, p.hidden "
           "FROM " +
               master + " AS m JOIN pragma_table_xinfo(m.name" + pragma_schema +
               ") AS p WHERE m.type IN (" + kinds + ")",
           parameters)) {
    std::string table_name = text_of(row[0]);
    TableDef& table = catalogue.tables[table_name];
    if (table.name.empty()) {
      table.name = table_name;
      table_sql[table_name] = text_of(row[1]);
    }
    long long hidden = row[7].cast<long long>();
    if (hidden == 1) continue;
    ColumnDef column;
    column.name = text_of(row[2]);
    std::string declared = core::ascii_upper(text_of(row[3]));
    if (hidden >= 2) {
      // "INTEGER GENERATED ALWAYS" is how SQLite reports a generated column's type.
      for (const char* word : {"GENERATED", "ALWAYS"}) {
        size_t at = declared.find(word);
        if (at != std::string::npos) declared.erase(at, std::string(word).size());
      }
      declared = py::str(declared).attr("strip")().cast<std::string>();
      py::object body =
          patterns.table_body.attr("match")(py::str(table_sql[table_name]).attr("strip")());
      std::string expression;
      if (!body.is_none()) {
        std::string pattern =
            py::module_::import("re").attr("escape")(column.name).cast<std::string>() +
            R"re([^,]*\s+GENERATED\s+ALWAYS\s+AS\s+\((.*)\)\s*(?:virtual|stored)?)re";
        py::object found = patterns.re.attr("search")(
            pattern, body.attr("group")(1).attr("strip")(), patterns.re.attr("IGNORECASE"));
        if (!found.is_none()) expression = found.attr("group")(1).cast<std::string>();
      }
      column.computed = expression;
      column.persisted = hidden == 3;
    }
    column.type = resolve_affinity(ischema_names, declared);
    column.nullable = !common::truthy(row[4]);
    column.server_default = optional_text(row[5]);
    // The pragma's pk is the column's position in the primary key, 0 outside it.
    long long position = row[6].cast<long long>();
    if (position > 0) positions[table_name].emplace_back(position, column.name);
    table.columns.push_back(std::move(column));
  }

  for (auto& [name, table] : catalogue.tables) {
    auto found = positions.find(name);
    if (found == positions.end()) continue;
    std::stable_sort(found->second.begin(), found->second.end());
    for (auto& [position, column] : found->second) table.primary_key.push_back(column);
    py::object match = patterns.primary_key.attr("search")(table_sql[name]);
    if (!match.is_none()) {
      py::object key_name = match.attr("group")(1);
      if (key_name.is_none()) key_name = match.attr("group")(2);
      table.primary_key_name = key_name.cast<std::string>();
    }
  }

  std::map<std::string, std::vector<PragmaKey>> pragma_keys;
  for (const py::tuple& row :
       fetch_all(connection,
                 "SELECT m.name, f.id, f.\"table\", f.\"from\", f.\"to\" FROM " + master +
                     " AS m JOIN pragma_foreign_key_list(m.name" + pragma_schema +
                     ") AS f WHERE m.type = 'table'",
                 parameters)) {
    auto& keys = pragma_keys[text_of(row[0])];
    long long id = row[1].cast<long long>();
    auto found =
        std::find_if(keys.begin(), keys.end(), [id](const PragmaKey& key) { return key.id == id; });
    if (found == keys.end()) {
      PragmaKey key;
      key.id = id;
      key.key.referred_table = text_of(row[2]);
      key.key.referred_schema = optional_text(catalogue.schema);
      if (row[4].is_none()) {
        // No referred columns named: the referred table's primary key.
        auto referred = catalogue.tables.find(key.key.referred_table);
        if (referred != catalogue.tables.end()) {
          key.key.referred_columns = referred->second.primary_key;
        }
      }
      keys.push_back(std::move(key));
      found = keys.end() - 1;
    }
    found->key.columns.push_back(text_of(row[3]));
    if (!row[4].is_none()) found->key.referred_columns.push_back(text_of(row[4]));
  }

  std::map<std::string, std::map<std::vector<std::string>, bool>> automatic_indexes;
  bool any_unique = false;
  for (auto& [name, sql] : table_sql)
    any_unique |= core::ascii_upper(sql).find("UNIQUE") != std::string::npos;
  if (any_unique) {
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> index_columns;
    for (const py::tuple& row :
         fetch_all(connection,
                   "SELECT m.name, il.name, ii.name FROM " + master +
                       " AS m JOIN pragma_index_list(m.name" + pragma_schema +
                       ") AS il JOIN pragma_index_info(il.name" + pragma_schema +
                       ") AS ii WHERE m.type = 'table' AND il.name LIKE 'sqlite_autoindex%'",
                   parameters)) {
      index_columns[{text_of(row[0]), text_of(row[1])}].push_back(text_of(row[2]));
    }
    for (auto& [key, columns] : index_columns) automatic_indexes[key.first][columns] = true;
  }

  for (auto& [name, table] : catalogue.tables) {
    const std::string& sql = table_sql[name];
    table.foreign_keys = foreign_keys(patterns, sql, std::move(pragma_keys[name]));
    if (any_unique) table.uniques = unique_constraints(patterns, sql, automatic_indexes[name]);
    table.checks = check_constraints(patterns, sql);
    py::object options = patterns.table_options.attr("search")(py::str(sql).attr("strip")());
    if (!options.is_none()) {
      std::vector<std::string> parts;
      if (!options.attr("group")("without_rowid").is_none()) parts.push_back("WITHOUT ROWID");
      if (!options.attr("group")("strict").is_none()) parts.push_back("STRICT");
      if (!parts.empty()) {
        std::string suffix = "\n " + parts[0];
        for (size_t i = 1; i < parts.size(); ++i) suffix += ",\n " + parts[i];
        table.post_create = suffix;
      }
    }
  }
}

}  // namespace norviai::sqlwrap
