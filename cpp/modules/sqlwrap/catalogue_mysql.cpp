// MySQL and MariaDB catalogue: four information_schema queries for the whole schema (tables with
// their options, columns, key columns, check constraints), read the way SQLAlchemy's MySQL
// reflection reads the equivalent SHOW CREATE TABLE lines.
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/text_util.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

std::string schema_expression(py::handle schema) {
  return schema.is_none() ? "DATABASE()" : ":schema";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// 'text' with inner quotes doubled, as SHOW CREATE TABLE prints a string default.
std::string string_literal(const std::string& text) {
  std::string quoted = "'";
  for (char ch : text) quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
  return quoted + "'";
}

// The table options SHOW CREATE TABLE prints, in the order the library's parser collects them.
const std::vector<std::string>& option_order() {
  static const std::vector<std::string> kOrder = {
      "COMMENT",  "DATA DIRECTORY", "INDEX DIRECTORY", "PASSWORD",       "CONNECTION",
      "ENGINE",   "TYPE",           "AVG_ROW_LENGTH",  "CHARACTER SET",  "DEFAULT CHARSET",
      "CHECKSUM", "COLLATE",        "DELAY_KEY_WRITE", "INSERT_METHOD",  "MAX_ROWS",
      "MIN_ROWS", "PACK_KEYS",      "ROW_FORMAT",      "KEY_BLOCK_SIZE", "STATS_SAMPLE_PAGES"};
  return kOrder;
}

py::list table_options(const std::optional<std::string>& comment,
                       const std::optional<std::string>& engine,
                       const std::optional<std::string>& collation,
                       const std::optional<std::string>& charset,
                       const std::string& create_options) {
  std::map<std::string, std::string> found;
  if (comment) found["COMMENT"] = *comment;
  if (engine) found["ENGINE"] = *engine;
  if (collation) {
    found["DEFAULT CHARSET"] = charset.value_or(collation->substr(0, collation->find('_')));
    found["COLLATE"] = *collation;
  }
  size_t start = 0;
  while (start < create_options.size()) {
    size_t end = create_options.find(' ', start);
    if (end == std::string::npos) end = create_options.size();
    std::string token = create_options.substr(start, end - start);
    size_t equals = token.find('=');
    if (equals != std::string::npos)
      found[core::ascii_upper(token.substr(0, equals))] = token.substr(equals + 1);
    start = end + 1;
  }
  py::list options;
  for (const auto& key : option_order()) {
    auto value = found.find(key);
    if (value == found.end()) continue;
    options.append(py::make_tuple("mysql_" + core::ascii_lower(key), value->second));
  }
  return options;
}

// Index of the ")" closing the "(" at `open`, skipping quoted text.
size_t closing_paren(const std::string& text, size_t open) {
  char quote = 0;
  for (size_t i = open + 1; i < text.size(); ++i) {
    char ch = text[i];
    if (quote) {
      if (ch == quote) {
        if (i + 1 < text.size() && text[i + 1] == quote) {
          ++i;
        } else {
          quote = 0;
        }
      }
    } else if (ch == '\'' || ch == '"') {
      quote = ch;
    } else if (ch == ')') {
      return i;
    }
  }
  return std::string::npos;
}

bool is_subclass(py::handle cls, py::handle bases) {
  const int result = PyObject_IsSubclass(cls.ptr(), bases.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

class MysqlTypes {
 public:
  explicit MysqlTypes(py::handle dialect)
      : ischema_names_(dialect.attr("ischema_names")),
        mysql_(py::module_::import("sqlalchemy.dialects.mysql")) {
    time_types_ =
        py::make_tuple(mysql_.attr("DATETIME"), mysql_.attr("TIME"), mysql_.attr("TIMESTAMP"));
    set_type_ = mysql_.attr("SET");
  }

  // One type object for every column of the same type: sample reading keeps what SQLAlchemy
  // derives from a type (its dialect adaptation, result processor) per type object.
  py::object reflect(const std::string& column_type, const std::optional<std::string>& charset,
                     const std::optional<std::string>& collation) const {
    std::string key =
        column_type + '\x1f' + charset.value_or("\x1e") + '\x1f' + collation.value_or("\x1e");
    auto found = made_.find(key);
    if (found != made_.end()) return found->second;
    py::object made = reflect_type(column_type, charset, collation);
    made_.emplace(std::move(key), made);
    return made;
  }

 private:
  // "int(11) unsigned", "enum('a','b')", "varchar(10)" → the type SQLAlchemy reflects.
  py::object reflect_type(const std::string& column_type, const std::optional<std::string>& charset,
                          const std::optional<std::string>& collation) const {
    size_t i = 0;
    while (i < column_type.size() &&
           (std::isalnum(static_cast<unsigned char>(column_type[i])) || column_type[i] == '_')) {
      ++i;
    }
    std::string name = column_type.substr(0, i);
    std::string arguments;
    std::string rest = column_type.substr(i);
    if (i < column_type.size() && column_type[i] == '(') {
      size_t close = closing_paren(column_type, i);
      if (close != std::string::npos) {
        arguments = column_type.substr(i + 1, close - i - 1);
        rest = column_type.substr(close + 1);
      }
    }
    py::object cls = ischema_names_.attr("get")(name, py::none());
    if (cls.is_none()) return py::none();

    py::list args;
    bool quoted = !arguments.empty() && arguments.front() == '\'' && arguments.back() == '\'';
    if (quoted) {
      // Values as the library keeps them: quotes stripped and doubled quotes undone.
      size_t pos = 0;
      while ((pos = arguments.find('\'', pos)) != std::string::npos) {
        std::string value;
        size_t j = pos + 1;
        for (; j < arguments.size(); ++j) {
          if (arguments[j] == '\'') {
            if (j + 1 < arguments.size() && arguments[j + 1] == '\'') {
              value += '\'';
              ++j;
              continue;
            }
            break;
          }
          value += arguments[j];
        }
        args.append(value);
        pos = j + 1;
      }
    } else {
      args = integers_in(arguments);
    }

    py::dict kwargs;
    if (is_subclass(cls, time_types_) && !args.empty()) {
      kwargs["fsp"] = args.attr("pop")(0);
    }
    std::string attributes = core::ascii_lower(rest);
    if (contains(attributes, "unsigned")) kwargs["unsigned"] = true;
    if (contains(attributes, "zerofill")) kwargs["zerofill"] = true;
    if (charset) kwargs["charset"] = *charset;
    if (collation) kwargs["collate"] = *collation;
    if (is_subclass(cls, set_type_) && args.contains(py::str(""))) {
      kwargs["retrieve_as_bitwise"] = true;
    }
    return cls(*py::tuple(args), **kwargs);
  }

  py::object ischema_names_;
  py::module_ mysql_;
  py::tuple time_types_;
  py::object set_type_;
  mutable std::map<std::string, py::object> made_;
};

bool numeric_type(const std::string& data_type) {
  static const char* const kNumeric[] = {"tinyint", "smallint", "mediumint", "int",     "integer",
                                         "bigint",  "decimal",  "numeric",   "float",   "double",
                                         "real",    "bit",      "year",      "boolean", "bool"};
  for (const char* name : kNumeric) {
    if (data_type == name) return true;
  }
  return false;
}

// The DEFAULT text of SHOW CREATE TABLE, which is what the library keeps.
std::optional<std::string> show_create_default(bool mariadb, py::handle raw,
                                               const std::string& extra,
                                               const std::string& data_type) {
  auto value = optional_text(raw);
  if (!value) return std::nullopt;
  if (mariadb) {
    if (*value == "NULL") return std::nullopt;
  } else if (contains(extra, "DEFAULT_GENERATED")) {
    std::string lowered = core::ascii_lower(*value);
    if (!lowered.starts_with("current_timestamp") && !lowered.starts_with("now(")) {
      value = "(" + *value + ")";
    }
  } else if (!numeric_type(data_type)) {
    value = string_literal(*value);
  }
  // A default the library's SHOW CREATE TABLE pattern does not take (b'101', x'41') is lost.
  if (library().mysql_default.attr("fullmatch")(*value).is_none()) return std::nullopt;
  std::string lowered_extra = core::ascii_lower(extra);
  size_t on_update = lowered_extra.find("on update ");
  if (on_update != std::string::npos) {
    *value += " ON UPDATE " + extra.substr(on_update + 10);
  }
  return value;
}

// A view's column as the library reflects it, from DESCRIBE: no character set, every column
// nullable (DESCRIBE's "NO" reads as true there), defaults quoted unless they are NULL or a
// timestamp's CURRENT_TIMESTAMP.
ColumnDef view_column(const MysqlTypes& types, py::tuple row) {
  ColumnDef column;
  column.name = text_of(row[1]);
  std::string column_type = text_of(row[2]);
  column.type = types.reflect(column_type, std::nullopt, std::nullopt);
  auto value = optional_text(row[4]);
  if (value && value->size() >= 2 && value->front() == '\'' && value->back() == '\'') {
    std::string unquoted;
    for (size_t i = 1; i + 1 < value->size(); ++i) {
      unquoted += (*value)[i];
      if ((*value)[i] == '\'' && (*value)[i + 1] == '\'') ++i;
    }
    value = unquoted;
  }
  if (value && !value->empty() && *value != "NULL" &&
      core::ascii_lower(text_of(row[5])).find("auto_increment") == std::string::npos) {
    bool timestamp_function = column_type.starts_with("timestamp") && value->front() == 'C';
    if (!timestamp_function) {
      value = string_literal(*value);
    }
    column.server_default = value;
  }
  return column;
}

}  // namespace

void read_mysql(py::handle connection, Catalogue& catalogue) {
  py::object dialect = connection.attr("dialect");
  bool mariadb = common::truthy(py::getattr(dialect, "is_mariadb", py::bool_(false)));
  std::string schema = schema_expression(catalogue.schema);
  py::dict parameters;
  if (!catalogue.schema.is_none()) parameters["schema"] = catalogue.schema;
  MysqlTypes types(dialect);

  std::map<std::string, std::string> collations;
  std::set<std::string> views;
  std::vector<std::string> partitioned;
  for (const py::tuple& row :
       fetch_all(connection,
                 "SELECT t.TABLE_NAME, t.TABLE_TYPE, t.ENGINE, t.TABLE_COLLATION, "
                 "t.CREATE_OPTIONS, t.TABLE_COMMENT, ca.CHARACTER_SET_NAME "
                 "FROM information_schema.TABLES t "
                 "LEFT JOIN information_schema.COLLATION_CHARACTER_SET_APPLICABILITY ca "
                 "ON ca.COLLATION_NAME = t.TABLE_COLLATION "
                 "WHERE t.TABLE_SCHEMA = " +
                     schema,
                 parameters)) {
    std::string name = text_of(row[0]);
    TableDef& table = catalogue.tables[name];
    table.name = name;
    if (text_of(row[1]) == "VIEW") {
      table.table_options = py::list();
      views.insert(name);
      continue;
    }
    auto comment = optional_text(row[5]);
    if (comment && comment->empty()) comment.reset();
    table.comment = comment;
    auto collation = optional_text(row[3]);
    if (collation) collations[name] = *collation;
    std::string create_options = text_of(row[4]);
    table.table_options = table_options(comment, optional_text(row[2]), collation,
                                        optional_text(row[6]), create_options);
    if (contains(core::ascii_lower(create_options), "partitioned")) partitioned.push_back(name);
  }

  for (const py::tuple& row :
       fetch_all(connection,
                 "SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, EXTRA, "
                 "CHARACTER_SET_NAME, COLLATION_NAME, COLUMN_COMMENT, GENERATION_EXPRESSION, "
                 "DATA_TYPE FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = " +
                     schema + " ORDER BY TABLE_NAME, ORDINAL_POSITION",
                 parameters)) {
    std::string table_name = text_of(row[0]);
    auto found = catalogue.tables.find(table_name);
    if (found == catalogue.tables.end()) continue;
    TableDef& table = found->second;
    if (views.count(table_name)) {
      table.columns.push_back(view_column(types, row));
      continue;
    }

    ColumnDef column;
    column.name = text_of(row[1]);
    std::string extra = text_of(row[5]);
    // SHOW CREATE TABLE names the character set only where it differs from the table's.
    std::optional<std::string> charset, collation = optional_text(row[7]);
    auto table_collation = collations.find(table_name);
    if (collation &&
        (table_collation == collations.end() || table_collation->second != *collation)) {
      charset = optional_text(row[6]);
    } else {
      collation.reset();
    }
    column.type = types.reflect(text_of(row[2]), charset, collation);
    column.nullable = text_of(row[3]) != "NO";
    column.autoincrement = contains(core::ascii_lower(extra), "auto_increment");
    auto generation = optional_text(row[9]);
    const std::string kind = core::ascii_upper(extra);
    if (generation && !generation->empty() && contains(kind, "GENERATED")) {
      column.computed = "(" + *generation + ")";
      if (contains(kind, "STORED") || contains(kind, "PERSISTENT")) {
        column.persisted = true;
      } else if (contains(kind, "VIRTUAL")) {
        column.persisted = false;
      }
    } else {
      column.server_default = show_create_default(mariadb, row[4], extra, text_of(row[10]));
    }
    auto comment = optional_text(row[8]);
    if (comment && !comment->empty()) column.comment = comment;
    table.columns.push_back(std::move(column));
  }

  // Key columns: the primary key, then foreign keys by name as SHOW CREATE TABLE lists them.
  std::vector<py::tuple> key_rows;
  for (const py::tuple& row :
       fetch_all(connection,
                 "SELECT k.TABLE_NAME, k.CONSTRAINT_NAME, k.COLUMN_NAME, "
                 "k.REFERENCED_TABLE_SCHEMA, k.REFERENCED_TABLE_NAME, k.REFERENCED_COLUMN_NAME, "
                 "r.UPDATE_RULE, r.DELETE_RULE, k.TABLE_SCHEMA "
                 "FROM information_schema.KEY_COLUMN_USAGE k "
                 "LEFT JOIN information_schema.REFERENTIAL_CONSTRAINTS r "
                 "ON r.CONSTRAINT_SCHEMA = k.CONSTRAINT_SCHEMA "
                 "AND r.CONSTRAINT_NAME = k.CONSTRAINT_NAME AND r.TABLE_NAME = k.TABLE_NAME "
                 "WHERE k.TABLE_SCHEMA = " +
                     schema +
                     " AND (k.CONSTRAINT_NAME = 'PRIMARY' OR k.REFERENCED_TABLE_NAME IS NOT NULL) "
                     "ORDER BY k.TABLE_NAME, k.CONSTRAINT_NAME, k.ORDINAL_POSITION",
                 parameters)) {
    auto found = catalogue.tables.find(text_of(row[0]));
    if (found == catalogue.tables.end()) continue;
    if (text_of(row[1]) == "PRIMARY" && row[4].is_none()) {
      found->second.primary_key.push_back(text_of(row[2]));
    } else {
      key_rows.push_back(row);
    }
  }
  add_foreign_keys(catalogue, key_rows, [&](const py::tuple& row, ForeignKeyDef& key) {
    std::string referred_schema = text_of(row[3]);
    if (referred_schema != text_of(row[8])) {
      key.referred_schema = referred_schema;
    } else if (!catalogue.schema.is_none()) {
      key.referred_schema = catalogue.schema.cast<std::string>();
    }
    for (auto [rule, clause] :
         {std::pair{text_of(row[7]), " ON DELETE "}, std::pair{text_of(row[6]), " ON UPDATE "}}) {
      if (rule == "CASCADE" || rule == "SET NULL" || rule == "SET DEFAULT")
        key.tail += clause + rule;
    }
  });

  // information_schema does not spell out partitioning as SHOW CREATE TABLE does; the few
  // partitioned tables take their options from the library's own parse of that text.
  for (const auto& name : partitioned) {
    py::object state = dialect.attr("_setup_parser")(connection, name, catalogue.schema);
    catalogue.tables[name].table_options = py::list(state.attr("table_options").attr("items")());
  }

  // Table-level checks only: the library does not reflect column-level ones.
  py::tuple version = dialect.attr("server_version_info");
  bool has_level = mariadb && py::tuple(version) >= py::make_tuple(10, 5, 10);
  std::string checks_sql = has_level ? "SELECT TABLE_NAME, CONSTRAINT_NAME, CHECK_CLAUSE "
                                       "FROM information_schema.CHECK_CONSTRAINTS "
                                       "WHERE CONSTRAINT_SCHEMA = " +
                                           schema + " AND LEVEL = 'Table'"
                                     : "SELECT tc.TABLE_NAME, cc.CONSTRAINT_NAME, cc.CHECK_CLAUSE "
                                       "FROM information_schema.TABLE_CONSTRAINTS tc "
                                       "JOIN information_schema.CHECK_CONSTRAINTS cc "
                                       "ON cc.CONSTRAINT_SCHEMA = tc.CONSTRAINT_SCHEMA "
                                       "AND cc.CONSTRAINT_NAME = tc.CONSTRAINT_NAME "
                                       "WHERE tc.CONSTRAINT_TYPE = 'CHECK' AND tc.TABLE_SCHEMA = " +
                                           schema;
  std::vector<py::tuple> checks;
  try {
    checks = fetch_all(connection, checks_sql, parameters);
  } catch (py::error_already_set& error) {
    // Servers before CHECK_CONSTRAINTS existed have no checks to show.
    if (!error.matches(library().dbapi_error)) throw;
    connection.attr("rollback")();
  }
  for (const py::tuple& row : checks) {
    auto found = catalogue.tables.find(text_of(row[0]));
    if (found == catalogue.tables.end()) continue;
    bool column_level = false;
    std::string name = text_of(row[1]);
    if (!has_level && mariadb) {
      for (const auto& column : found->second.columns) column_level |= column.name == name;
    }
    if (column_level) continue;
    found->second.checks.push_back(CheckDef{name, text_of(row[2]), ""});
  }
}

}  // namespace norviai::sqlwrap
