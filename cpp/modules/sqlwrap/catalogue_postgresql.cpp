// PostgreSQL catalogue: a few pg_catalog queries for every table of the schema (columns with their
// defaults and identity, their types and collations, then all constraints, then table options
// and comments), mapped to SQLAlchemy types the way its PostgreSQL reflection maps format_type().
#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/text_util.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/postgresql_queries.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

std::vector<std::string> split_arguments(const std::string& inner) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t comma = inner.find(',', start);
    parts.push_back(core::trim(inner.substr(start, comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

bool parse_int(const std::string& text, long long& value) {
  if (text.empty()) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (!std::isdigit(static_cast<unsigned char>(text[j]))) return false;
  }
  value = std::stoll(text);
  return true;
}

// What pg_catalog says about the element type of a column when format_type() names no type that
// SQLAlchemy knows: an enum or a domain.
struct NamedType {
  std::string typtype;
  std::string name;
  std::string schema;
  bool visible = true;
  py::object labels;
  std::optional<std::string> domain_base;
  bool not_null = false;
  std::optional<std::string> default_text;
};

class PgTypes {
 public:
  explicit PgTypes(py::handle dialect)
      : ischema_names_(dialect.attr("ischema_names")),
        postgresql_(py::module_::import("sqlalchemy.dialects.postgresql")) {}

  // One type object for every column of the same type: sample reading keeps what SQLAlchemy
  // derives from a type (its dialect adaptation, result processor) per type object.
  py::object reflect(const std::string& format_type, const NamedType& named,
                     const std::optional<std::string>& collation,
                     const std::optional<std::string>& collation_schema) {
    std::string key = format_type + '\x1f' + named.typtype + '\x1f' + named.name + '\x1f' +
                      named.schema + '\x1f' + (named.visible ? "v" : "") + '\x1f' +
                      named.domain_base.value_or("\x1e") + '\x1f' + (named.not_null ? "n" : "") +
                      '\x1f' + named.default_text.value_or("\x1e") + '\x1f' +
                      collation.value_or("\x1e") + '\x1f' + collation_schema.value_or("\x1e");
    auto found = made_.find(key);
    if (found != made_.end()) return found->second;
    py::object made = reflect_type(format_type, named, collation, collation_schema);
    made_.emplace(std::move(key), made);
    return made;
  }

 private:
  // SQLAlchemy's PostgreSQL _reflect_type, step for step; None where it gives NullType.
  py::object reflect_type(const std::string& format_type, const NamedType& named,
                          const std::optional<std::string>& collation,
                          const std::optional<std::string>& collation_schema) const {
    std::vector<std::string> args;
    std::string attype = format_type;
    size_t open = format_type.find('(');
    size_t close = format_type.rfind(')');
    if (open != std::string::npos && close != std::string::npos && close > open) {
      std::string inner = format_type.substr(open + 1, close - open - 1);
      if (!inner.empty()) args = split_arguments(inner);
      attype = format_type.substr(0, open) + format_type.substr(close + 1);
    }
    int array_dim = 0;
    while (attype.ends_with("[]")) {
      attype.resize(attype.size() - 2);
      ++array_dim;
    }

    py::object schema_type = ischema_names_.attr("get")(core::ascii_lower(attype), py::none());
    py::list type_args;
    py::dict kwargs;
    long long number = 0;
    if (attype == "numeric") {
      long long precision = 0, scale = 0;
      if (args.size() == 2 && parse_int(args[0], precision) && parse_int(args[1], scale)) {
        type_args.append(precision);
        type_args.append(scale);
      }
    } else if (attype == "double precision") {
      type_args.append(53);
    } else if (attype == "integer") {
    } else if (attype == "timestamp with time zone" || attype == "time with time zone") {
      kwargs["timezone"] = true;
      if (args.size() == 1 && parse_int(args[0], number)) kwargs["precision"] = number;
    } else if (attype == "timestamp without time zone" || attype == "time without time zone" ||
               attype == "time") {
      kwargs["timezone"] = false;
      if (args.size() == 1 && parse_int(args[0], number)) kwargs["precision"] = number;
    } else if (attype == "bit varying") {
      kwargs["varying"] = true;
      if (args.size() == 1 && parse_int(args[0], number)) type_args.append(number);
    } else if (attype == "interval" || attype.starts_with("interval ")) {
      schema_type = postgresql_.attr("INTERVAL");
      if (attype.size() > 9) kwargs["fields"] = attype.substr(9);
      if (args.size() == 1 && parse_int(args[0], number)) kwargs["precision"] = number;
    } else if (schema_type.is_none() && named.typtype == "e") {
      schema_type = postgresql_.attr("ENUM");
      for (py::handle label : named.labels) type_args.append(label);
      kwargs["name"] = named.name;
      if (!named.visible) kwargs["schema"] = named.schema;
      kwargs["create_type"] = false;
    } else if (schema_type.is_none() && named.typtype == "d" && named.domain_base) {
      schema_type = postgresql_.attr("DOMAIN");
      py::object data_type =
          reflect_type(*named.domain_base, NamedType{}, std::nullopt, std::nullopt);
      if (data_type.is_none()) return py::none();
      type_args.append(named.name);
      type_args.append(data_type);
      if (named.default_text) kwargs["default"] = *named.default_text;
      kwargs["not_null"] = named.not_null;
      kwargs["create_type"] = false;
      if (!named.visible) kwargs["schema"] = named.schema;
    } else if (!args.empty()) {
      if (parse_int(args[0], number)) {
        type_args.append(number);
        for (size_t i = 1; i < args.size(); ++i) type_args.append(args[i]);
      } else {
        for (const auto& arg : args) type_args.append(arg);
      }
    }
    if (schema_type.is_none()) return py::none();
    if (collation) {
      kwargs["collation"] = *collation;
      if (collation_schema) kwargs["collation_schema"] = *collation_schema;
    }
    py::object data_type = schema_type(*py::tuple(type_args), **kwargs);
    if (array_dim >= 1) data_type = postgresql_.attr("ARRAY")(data_type);
    return data_type;
  }

  py::object ischema_names_;
  py::module_ postgresql_;
  std::map<std::string, py::object> made_;
};

// "CHECK ((a > 1)) NOT VALID" → the expression and the tail, as the library parses it.
std::optional<CheckDef> parse_check(const std::string& name, const std::string& definition) {
  if (!definition.starts_with("CHECK")) return std::nullopt;
  size_t i = 5;
  while (i < definition.size() && definition[i] == ' ') ++i;
  if (i >= definition.size() || definition[i] != '(') return std::nullopt;
  std::string rest = definition.substr(i + 1);
  bool not_valid = false;
  if (rest.ends_with(" NOT VALID")) {
    not_valid = true;
    rest.resize(rest.size() - 10);
  }
  if (rest.ends_with(" NO INHERIT")) rest.resize(rest.size() - 11);
  if (rest.empty() || rest.back() != ')') return std::nullopt;
  rest.pop_back();
  CheckDef check;
  check.name = name;
  check.sqltext = library().strip_outer_parens(rest).cast<std::string>();
  if (not_valid) check.tail = " NOT VALID";
  return check;
}

const char* referential_action(const std::string& code) {
  if (code == "r") return "RESTRICT";
  if (code == "c") return "CASCADE";
  if (code == "n") return "SET NULL";
  if (code == "d") return "SET DEFAULT";
  return nullptr;  // "a": NO ACTION, which the library leaves out
}

// Column names by attnum, per table oid: the columns read, and the referred tables beyond them.
using ColumnNames = std::unordered_map<long long, std::unordered_map<long long, std::string>>;

// The names of `attnums` (a key's int2[]) in key order; false when one is unknown.
bool names_of(const ColumnNames& names, py::handle oid, py::handle attnums,
              std::vector<std::string>& out) {
  out.clear();
  if (attnums.is_none()) return true;
  auto table = names.find(oid.cast<long long>());
  for (py::handle attnum : attnums) {
    if (table == names.end()) return false;
    auto found = table->second.find(attnum.cast<long long>());
    if (found == table->second.end()) return false;
    out.push_back(found->second);
  }
  return true;
}

// The rows of a lookup statement over %(oids)s.
py::list rows_for_oids(py::handle connection, const char* sql, const std::set<long long>& oids) {
  py::list list;
  for (long long oid : oids) list.append(oid);
  py::dict parameters;
  parameters["oids"] = list;
  return fetch_driver(connection, sql, parameters);
}

// The key columns of every constraint row resolvable from `names`, else adds the missing
// tables' column names with one more query.
void complete_names(py::handle connection, const py::list& rows, ColumnNames& names) {
  std::vector<std::string> scratch;
  std::set<long long> missing;
  for (py::handle row : rows) {
    py::tuple values = py::reinterpret_borrow<py::tuple>(row);
    if (!names_of(names, values[15], values[3], scratch)) {
      missing.insert(values[15].cast<long long>());
    }
    if (!values[16].is_none() && !names_of(names, values[16], values[8], scratch)) {
      missing.insert(values[16].cast<long long>());
    }
  }
  if (missing.empty()) return;
  for (py::handle row : rows_for_oids(connection, pg_queries::kReferredColumns, missing)) {
    py::tuple values = py::reinterpret_borrow<py::tuple>(row);
    names[values[0].cast<long long>()][values[1].cast<long long>()] = text_of(values[2]);
  }
}

// Type details per type oid, from pg_queries::kTypes.
struct TypeRow {
  bool domain = false;  // the column's own type is a domain: it reports its base type's oid
  NamedType named;
};

std::unordered_map<long long, TypeRow> read_types(py::handle connection,
                                                  const std::set<long long>& oids) {
  std::unordered_map<long long, TypeRow> types;
  if (oids.empty()) return types;
  for (py::handle row : rows_for_oids(connection, pg_queries::kTypes, oids)) {
    py::tuple values = py::reinterpret_borrow<py::tuple>(row);
    TypeRow& type = types[values[0].cast<long long>()];
    type.domain = text_of(values[1]) == "d";
    type.named.typtype = text_of(values[2]);
    type.named.name = text_of(values[3]);
    type.named.schema = text_of(values[4]);
    type.named.visible = common::truthy(values[5]);
    type.named.labels = py::reinterpret_borrow<py::object>(values[6]);
    type.named.domain_base = optional_text(values[7]);
    type.named.not_null = common::truthy(values[8]);
    type.named.default_text = optional_text(values[9]);
  }
  return types;
}

// (name, schema where not visible) of each collation oid; an oid gone meanwhile has neither.
std::map<long long, std::pair<std::optional<std::string>, std::optional<std::string>>>
read_collations(py::handle connection, const std::set<long long>& oids) {
  std::map<long long, std::pair<std::optional<std::string>, std::optional<std::string>>> found;
  if (oids.empty()) return found;
  for (long long oid : oids) found[oid];
  for (py::handle row : rows_for_oids(connection, pg_queries::kCollations, oids)) {
    py::tuple values = py::reinterpret_borrow<py::tuple>(row);
    found[values[0].cast<long long>()] = {optional_text(values[1]), optional_text(values[2])};
  }
  return found;
}

void read_columns(py::handle connection, Catalogue& catalogue, const py::list& rows, PgTypes& types,
                  ColumnNames& names) {
  std::set<long long> type_oids, collation_oids;
  for (py::handle row : rows) {
    py::tuple values = py::reinterpret_borrow<py::tuple>(row);
    if (!values[12].is_none()) type_oids.insert(values[12].cast<long long>());
    if (!values[10].is_none()) collation_oids.insert(values[10].cast<long long>());
  }
  const auto type_rows = read_types(connection, type_oids);
  const auto collations = read_collations(connection, collation_oids);
  const std::pair<std::optional<std::string>, std::optional<std::string>> no_collation;
  const TypeRow unknown_type{false, NamedType{"", "", "", false, py::none(), {}, false, {}}};

  std::map<TableDef*, std::vector<std::pair<long long, ColumnDef>>> read;
  TableDef* last = nullptr;
  for (py::handle item : rows) {
    py::tuple row = py::reinterpret_borrow<py::tuple>(item);
    // Rows come grouped by table, mostly: the last table is looked up once.
    std::string table_name = text_of(row[0]);
    if (last == nullptr || last->name != table_name) {
      last = &catalogue.tables[table_name];
      last->name = table_name;
    }
    TableDef& table = *last;
    if (row[3].is_none()) continue;  // a table without columns

    long long type_oid = row[12].cast<long long>();
    auto found_type = type_rows.find(type_oid);
    const TypeRow& type = found_type == type_rows.end() ? unknown_type : found_type->second;
    const NamedType& named = type.named;

    ColumnDef column;
    column.name = text_of(row[3]);
    names[row[1].cast<long long>()][row[2].cast<long long>()] = column.name;
    auto format_type = optional_text(row[4]);
    const auto& collation =
        row[10].is_none() ? no_collation : collations.at(row[10].cast<long long>());
    if (format_type) {
      column.type = types.reflect(*format_type, named, collation.first, collation.second);
    } else {
      column.type = py::none();
    }
    column.nullable = !common::truthy(row[6]);
    column.server_default = optional_text(row[5]);
    if (named.typtype == "d" && !column.server_default) column.server_default = named.default_text;
    if (named.typtype == "d" && named.not_null) column.nullable = false;

    std::string generated = text_of(row[7]);
    if (!generated.empty() && generated != std::string(1, '\0')) {
      column.computed = column.server_default;
      column.persisted = generated == "s";
      column.server_default.reset();
    }
    if (!row[8].is_none()) {
      py::list options = py::reinterpret_borrow<py::list>(row[8]);
      Identity identity;
      identity.always = common::truthy(row[9]);
      identity.start = options[0].cast<long long>();
      identity.increment = options[1].cast<long long>();
      identity.minvalue = options[2].cast<long long>();
      identity.maxvalue = options[3].cast<long long>();
      identity.cache = options[4].cast<long long>();
      identity.cycle = options[5].cast<long long>() != 0;
      column.identity = identity;
      column.autoincrement = true;
    }
    if (column.server_default && column.server_default->find("nextval('") != std::string::npos) {
      if (!column.type.is_none() && py::isinstance(column.type, library().types.attr("Integer"))) {
        column.autoincrement = true;
      }
      // A sequence of the wrapper's own schema gets the schema, as reflection writes it.
      size_t start = column.server_default->find("nextval('") + 9;
      size_t end = column.server_default->find('\'', start);
      std::string sequence = column.server_default->substr(start, end - start);
      if (!catalogue.schema.is_none() && sequence.find('.') == std::string::npos &&
          end != std::string::npos) {
        column.server_default = column.server_default->substr(0, start) + "\"" +
                                catalogue.schema.cast<std::string>() + "\"." +
                                column.server_default->substr(start);
      }
    }
    column.comment = optional_text(row[11]);
    column.type_oid = type.domain ? 0 : type_oid;
    read[&table].emplace_back(row[2].cast<long long>(), std::move(column));
  }
  for (auto& [table, columns] : read) {
    std::stable_sort(columns.begin(), columns.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : columns) table->columns.push_back(std::move(entry.second));
  }
}

void read_constraints(py::handle connection, Catalogue& catalogue, const py::list& rows,
                      ColumnNames& names) {
  complete_names(connection, rows, names);
  for (py::handle item : rows) {
    py::tuple row = py::reinterpret_borrow<py::tuple>(item);
    auto found = catalogue.tables.find(text_of(row[0]));
    if (found == catalogue.tables.end()) continue;
    TableDef& table = found->second;
    std::string name = text_of(row[1]);
    std::string kind = text_of(row[2]);
    std::vector<std::string> columns;
    names_of(names, row[15], row[3], columns);
    if (kind == "p") {
      table.primary_key_name = name;
      table.primary_key = std::move(columns);
    } else if (kind == "u") {
      UniqueDef unique;
      unique.name = name;
      unique.columns = std::move(columns);
      // Before PostgreSQL 15 the library reflects "nulls distinct" as false, not as unknown.
      unique.distinct = common::truthy(row[14]) ? "NULLS NOT DISTINCT " : "NULLS DISTINCT ";
      table.uniques.push_back(std::move(unique));
    } else if (kind == "c") {
      if (auto check = parse_check(name, text_of(row[4]))) table.checks.push_back(*check);
    } else if (kind == "f") {
      ForeignKeyDef key;
      key.name = name;
      key.columns = std::move(columns);
      key.referred_table = text_of(row[5]);
      std::string referred_schema = text_of(row[6]);
      if (!common::truthy(row[7])) {
        key.referred_schema = referred_schema;
      } else if (!catalogue.schema.is_none() &&
                 catalogue.schema.cast<std::string>() == referred_schema) {
        key.referred_schema = referred_schema;
      }
      if (!row[16].is_none()) names_of(names, row[16], row[8], key.referred_columns);
      std::string match = text_of(row[11]);
      if (match == "f") key.tail += " MATCH FULL";
      if (match == "p") key.tail += " MATCH PARTIAL";
      if (const char* action = referential_action(text_of(row[10]))) {
        key.tail += std::string(" ON DELETE ") + action;
      }
      if (const char* action = referential_action(text_of(row[9]))) {
        key.tail += std::string(" ON UPDATE ") + action;
      }
      if (common::truthy(row[12])) key.tail += " DEFERRABLE";
      if (common::truthy(row[13])) key.tail += " INITIALLY DEFERRED";
      table.foreign_keys.push_back(std::move(key));
    }
  }
}

}  // namespace

void read_postgresql(py::handle connection, Catalogue& catalogue) {
  py::object dialect = connection.attr("dialect");
  py::tuple version = dialect.attr("server_version_info");
  long long major = version.size() > 0 ? version[0].cast<long long>() : 0;
  py::dict parameters;
  if (!catalogue.schema.is_none()) parameters["schema"] = catalogue.schema;
  if (!catalogue.only.empty()) {
    py::list names;
    for (const auto& name : catalogue.only) names.append(name);
    parameters["names"] = names;
  }
  PgTypes types(dialect);
  ColumnNames names;

  read_columns(connection, catalogue,
               fetch_driver(connection, pg_queries::columns(catalogue, major >= 12), parameters),
               types, names);
  read_constraints(
      connection, catalogue,
      fetch_driver(connection, pg_queries::constraints(catalogue, major >= 15), parameters), names);

  // Keyed as the library's reflection keys them; the DDL writer hands them to the dialect.
  for (py::handle item : fetch_driver(connection, pg_queries::options(catalogue), parameters)) {
    py::tuple row = py::reinterpret_borrow<py::tuple>(item);
    auto found = catalogue.tables.find(text_of(row[0]));
    if (found == catalogue.tables.end()) continue;
    py::list options;
    if (!row[3].is_none()) options.append(py::make_tuple("postgresql_using", row[3]));
    if (py::len(row[1]) > 0) {
      options.append(py::make_tuple("postgresql_inherits", py::tuple(row[1])));
    }
    if (!row[2].is_none() && py::len(row[2]) > 0) {
      py::dict with;
      for (py::handle option : row[2]) {
        py::list parts = option.attr("split")("=", 1);
        with[parts[0]] = parts[1];
      }
      options.append(py::make_tuple("postgresql_with", with));
    }
    if (!row[4].is_none()) options.append(py::make_tuple("postgresql_tablespace", row[4]));
    if (py::len(options) > 0) found->second.table_options = options;
    // Schema texts leave PostgreSQL table comments out; the table index reads them.
    auto comment = optional_text(row[5]);
    if (comment && !comment->empty()) found->second.comment = comment;
  }
}

}  // namespace norviai::sqlwrap
