// PostgreSQL catalogue: two pg_catalog queries for every table of the schema (columns with their
// types, defaults, identity and collation; then all constraints), mapped to SQLAlchemy types the
// way its PostgreSQL reflection maps format_type().
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

// Tables in scope: the schema asked for, or every table visible on the search path; only the
// tables named when some are.
std::string scope_condition(const Catalogue& catalogue, const char* cls, const char* ns) {
  std::string condition = catalogue.schema.is_none()
                              ? std::string("pg_catalog.pg_table_is_visible(") + cls +
                                    ".oid) AND " + ns + ".nspname <> 'pg_catalog'"
                              : std::string(ns) + ".nspname = :schema";
  if (!catalogue.only.empty()) condition += std::string(" AND ") + cls + ".relname = ANY(:names)";
  return condition;
}

std::string columns_query(const Catalogue& catalogue, bool has_generated) {
  // The element type stands in for an array type, so that arrays of enums resolve as SQLAlchemy
  // resolves them (by the name without "[]").
  return std::string(R"sql(
SELECT c.relname, a.attname,
       pg_catalog.format_type(a.atttypid, a.atttypmod),
       CASE WHEN a.atthasdef THEN pg_catalog.pg_get_expr(d.adbin, d.adrelid) END,
       a.attnotnull,
       )sql") +
         (has_generated ? "a.attgenerated" : "''") + R"sql(,
       CASE WHEN a.attidentity <> '' THEN (
         SELECT ARRAY[s.seqstart, s.seqincrement, s.seqmin, s.seqmax, s.seqcache,
                      CASE WHEN s.seqcycle THEN 1 ELSE 0 END]
         FROM pg_catalog.pg_sequence s
         WHERE s.seqrelid = CAST(pg_catalog.pg_get_serial_sequence(
                 CAST(CAST(c.oid AS regclass) AS text), a.attname) AS regclass)) END,
       a.attidentity = 'a',
       CASE WHEN a.attcollation <> 0 AND a.attcollation <> t.typcollation THEN co.collname END,
       CASE WHEN a.attcollation <> 0 AND a.attcollation <> t.typcollation
             AND NOT pg_catalog.pg_collation_is_visible(co.oid) THEN con.nspname END,
       cd.description,
       et.typtype, et.typname, etn.nspname, pg_catalog.pg_type_is_visible(et.oid),
       CASE WHEN et.typtype = 'e' THEN ARRAY(
         SELECT CAST(e.enumlabel AS text) FROM pg_catalog.pg_enum e
         WHERE e.enumtypid = et.oid ORDER BY e.enumsortorder) END,
       CASE WHEN et.typtype = 'd' THEN pg_catalog.format_type(et.typbasetype, et.typtypmod) END,
       et.typnotnull, et.typdefault,
       CASE WHEN t.typtype = 'd' THEN 0 ELSE a.atttypid END
FROM pg_catalog.pg_class c
JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_catalog.pg_attribute a
  ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped
LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
LEFT JOIN pg_catalog.pg_type t ON t.oid = a.atttypid
LEFT JOIN pg_catalog.pg_type et
  ON et.oid = CASE WHEN t.typcategory = 'A' AND t.typelem <> 0 THEN t.typelem ELSE t.oid END
LEFT JOIN pg_catalog.pg_namespace etn ON etn.oid = et.typnamespace
LEFT JOIN pg_catalog.pg_collation co ON co.oid = a.attcollation
LEFT JOIN pg_catalog.pg_namespace con ON con.oid = co.collnamespace
LEFT JOIN pg_catalog.pg_description cd
  ON cd.objoid = c.oid AND cd.classoid = CAST('pg_catalog.pg_class' AS regclass)
  AND cd.objsubid = a.attnum
WHERE c.relkind IN ('r', 'p', 'f')sql" +
         (catalogue.views ? ", 'v', 'm'" : "") + ") AND " + scope_condition(catalogue, "c", "n") +
         R"sql(
ORDER BY c.relname, a.attnum)sql";
}

std::string constraints_query(const Catalogue& catalogue, bool has_nulls_not_distinct) {
  return std::string(R"sql(
SELECT c.relname, k.conname, k.contype,
       ARRAY(SELECT CAST(a.attname AS text)
             FROM unnest(k.conkey) WITH ORDINALITY AS u(attnum, ord)
             JOIN pg_catalog.pg_attribute a ON a.attrelid = k.conrelid AND a.attnum = u.attnum
             ORDER BY u.ord),
       CASE WHEN k.contype = 'c' THEN pg_catalog.pg_get_constraintdef(k.oid, true) END,
       r.relname, rn.nspname,
       CASE WHEN r.oid IS NOT NULL THEN pg_catalog.pg_table_is_visible(r.oid) END,
       ARRAY(SELECT CAST(a.attname AS text)
             FROM unnest(k.confkey) WITH ORDINALITY AS u(attnum, ord)
             JOIN pg_catalog.pg_attribute a ON a.attrelid = k.confrelid AND a.attnum = u.attnum
             ORDER BY u.ord),
       k.confupdtype, k.confdeltype, k.confmatchtype, k.condeferrable, k.condeferred,
       )sql") +
         (has_nulls_not_distinct ? "(SELECT i.indnullsnotdistinct FROM pg_catalog.pg_index i "
                                   "WHERE i.indexrelid = k.conindid)"
                                 : "NULL") +
         R"sql(,
       n.nspname
FROM pg_catalog.pg_constraint k
JOIN pg_catalog.pg_class c ON c.oid = k.conrelid
JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_catalog.pg_class r ON r.oid = k.confrelid
LEFT JOIN pg_catalog.pg_namespace rn ON rn.oid = r.relnamespace
WHERE k.contype IN ('p', 'u', 'f', 'c') AND c.relkind IN ('r', 'p', 'f') AND )sql" +
         scope_condition(catalogue, "c", "n") + R"sql(
ORDER BY c.relname, k.conname)sql";
}

// The table options the library reflects (parents, storage parameters, access method,
// tablespace), for the tables that have any.
std::string options_query(const Catalogue& catalogue) {
  return std::string(R"sql(
SELECT c.relname,
       ARRAY(SELECT CAST(p.relname AS text) FROM pg_catalog.pg_inherits i
             JOIN pg_catalog.pg_class p ON p.oid = i.inhparent
             WHERE i.inhrelid = c.oid ORDER BY i.inhseqno),
       c.reloptions,
       CASE WHEN am.amname <> current_setting('default_table_access_method') THEN am.amname END,
       ts.spcname
FROM pg_catalog.pg_class c
JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_catalog.pg_am am ON am.oid = c.relam
LEFT JOIN pg_catalog.pg_tablespace ts ON ts.oid = c.reltablespace
WHERE c.relkind IN ('r', 'p', 'f')sql") +
         (catalogue.views ? ", 'v', 'm'" : "") + ") AND " + scope_condition(catalogue, "c", "n") +
         R"sql(
  AND (c.relispartition OR c.reloptions IS NOT NULL OR c.reltablespace <> 0
       OR EXISTS (SELECT 1 FROM pg_catalog.pg_inherits i WHERE i.inhrelid = c.oid)
       OR am.amname <> current_setting('default_table_access_method')))sql";
}

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

std::vector<std::string> names_of(py::handle list) {
  std::vector<std::string> names;
  if (list.is_none()) return names;
  for (py::handle item : list) names.push_back(py::str(item).cast<std::string>());
  return names;
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

  for (const py::tuple& row :
       fetch_all(connection, columns_query(catalogue, major >= 12), parameters)) {
    std::string table_name = text_of(row[0]);
    TableDef& table = catalogue.tables[table_name];
    table.name = table_name;
    if (row[1].is_none()) continue;  // a table without columns

    NamedType named;
    named.typtype = text_of(row[11]);
    named.name = text_of(row[12]);
    named.schema = text_of(row[13]);
    named.visible = common::truthy(row[14]);
    named.labels = py::reinterpret_borrow<py::object>(row[15]);
    named.domain_base = optional_text(row[16]);
    named.not_null = common::truthy(row[17]);
    named.default_text = optional_text(row[18]);

    ColumnDef column;
    column.name = text_of(row[1]);
    auto format_type = optional_text(row[2]);
    if (format_type) {
      column.type =
          types.reflect(*format_type, named, optional_text(row[8]), optional_text(row[9]));
    } else {
      column.type = py::none();
    }
    column.nullable = !common::truthy(row[4]);
    column.server_default = optional_text(row[3]);
    if (named.typtype == "d" && !column.server_default) column.server_default = named.default_text;
    if (named.typtype == "d" && named.not_null) column.nullable = false;

    std::string generated = text_of(row[5]);
    if (!generated.empty() && generated != std::string(1, '\0')) {
      column.computed = column.server_default;
      column.persisted = generated == "s";
      column.server_default.reset();
    }
    if (!row[6].is_none()) {
      py::list options = py::reinterpret_borrow<py::list>(row[6]);
      Identity identity;
      identity.always = common::truthy(row[7]);
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
    column.comment = optional_text(row[10]);
    column.type_oid = row[19].cast<long long>();
    table.columns.push_back(std::move(column));
  }

  for (const py::tuple& row :
       fetch_all(connection, constraints_query(catalogue, major >= 15), parameters)) {
    auto found = catalogue.tables.find(text_of(row[0]));
    if (found == catalogue.tables.end()) continue;
    TableDef& table = found->second;
    std::string name = text_of(row[1]);
    std::string kind = text_of(row[2]);
    if (kind == "p") {
      table.primary_key_name = name;
      table.primary_key = names_of(row[3]);
    } else if (kind == "u") {
      UniqueDef unique;
      unique.name = name;
      unique.columns = names_of(row[3]);
      // Before PostgreSQL 15 the library reflects "nulls distinct" as false, not as unknown.
      unique.distinct = common::truthy(row[14]) ? "NULLS NOT DISTINCT " : "NULLS DISTINCT ";
      table.uniques.push_back(std::move(unique));
    } else if (kind == "c") {
      if (auto check = parse_check(name, text_of(row[4]))) table.checks.push_back(*check);
    } else if (kind == "f") {
      ForeignKeyDef key;
      key.name = name;
      key.columns = names_of(row[3]);
      key.referred_table = text_of(row[5]);
      std::string referred_schema = text_of(row[6]);
      if (!common::truthy(row[7])) {
        key.referred_schema = referred_schema;
      } else if (!catalogue.schema.is_none() &&
                 catalogue.schema.cast<std::string>() == referred_schema) {
        key.referred_schema = referred_schema;
      }
      key.referred_columns = names_of(row[8]);
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

  // Keyed as the library's reflection keys them; the DDL writer hands them to the dialect.
  for (const py::tuple& row : fetch_all(connection, options_query(catalogue), parameters)) {
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
    found->second.table_options = options;
  }
}

}  // namespace norviai::sqlwrap
