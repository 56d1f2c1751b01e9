// CREATE TABLE texts from the catalogue, laid out as SQLAlchemy's DDL compilers lay out a
// reflected table: columns, then the primary key, foreign keys, unique and check constraints.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "core/text_util.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) text += separator;
    text += parts[i];
  }
  return text;
}

const ColumnDef* find_column(const TableDef& table, const std::string& name) {
  for (const auto& column : table.columns) {
    if (column.name == name) return &column;
  }
  return nullptr;
}

// The column SQLAlchemy picks as the table's autoincrement column: the single primary key
// column marked autoincrement, or the one such column of a composite key.
const ColumnDef* autoincrement_column(const TableDef& table) {
  const ColumnDef* chosen = nullptr;
  for (const auto& name : table.primary_key) {
    const ColumnDef* column = find_column(table, name);
    if (column == nullptr || !column->autoincrement) continue;
    if (chosen != nullptr) return nullptr;
    chosen = column;
  }
  return chosen;
}

bool has_non_word(const std::string& text) {
  for (char ch : text) {
    if (ch == '\n') break;
    auto byte = static_cast<unsigned char>(ch);
    if (!std::isalnum(byte) && ch != '_' && byte < 0x80) return true;
  }
  return false;
}

// now(6), current_timestamp(3): MySQL takes these bare as defaults.
bool precision_function(const std::string& value) {
  std::string text = core::ascii_lower(value);
  for (const char* name : {"now(", "current_timestamp("}) {
    size_t length = std::string(name).size();
    if (text.starts_with(name) && text.size() > length &&
        std::isdigit(static_cast<unsigned char>(text[length]))) {
      return true;
    }
  }
  return false;
}

bool opens_with_quote_or_paren(const std::string& text) {
  size_t i = text.find_first_not_of(" \t\r\n\f\v");
  return i != std::string::npos && (text[i] == '\'' || text[i] == '"' || text[i] == '(');
}

std::string identity_text(const Identity& identity) {
  return std::string("GENERATED ") + (identity.always ? "ALWAYS" : "BY DEFAULT") +
         " AS IDENTITY (INCREMENT BY " + std::to_string(identity.increment) + " START WITH " +
         std::to_string(identity.start) + " MINVALUE " + std::to_string(identity.minvalue) +
         " MAXVALUE " + std::to_string(identity.maxvalue) + " CACHE " +
         std::to_string(identity.cache) + (identity.cycle ? " CYCLE" : " NO CYCLE") + ")";
}

}  // namespace

DdlWriter::DdlWriter(py::handle engine, const Catalogue& catalogue)
    : catalogue_(catalogue), dialect_(engine.attr("dialect")) {
  quote_ = dialect_.attr("identifier_preparer").attr("quote");
  type_compiler_ = dialect_.attr("type_compiler_instance").attr("process");
  ddl_compiler_ = dialect_.attr("ddl_compiler")(dialect_, py::none());
  sql_compiler_ = ddl_compiler_.attr("sql_compiler");
  py::handle types = library().types;
  big_integer_ = types.attr("BigInteger");
  small_integer_ = types.attr("SmallInteger");
  timestamp_ = types.attr("TIMESTAMP");
  string_type_ = types.attr("String")();
  default_functions_ =
      common::truthy(py::getattr(dialect_, "_support_default_function", py::bool_(false)));
}

std::string DdlWriter::quote(const std::string& name) const {
  auto found = quoted_.find(name);
  if (found == quoted_.end()) found = quoted_.emplace(name, quote_(name).cast<std::string>()).first;
  return found->second;
}

std::string DdlWriter::type_text(py::handle type) const {
  auto found = type_texts_.find(type.ptr());
  if (found == type_texts_.end()) {
    found = type_texts_.emplace(type.ptr(), type_compiler_(type).cast<std::string>()).first;
  }
  return found->second;
}

std::string DdlWriter::table_name(const std::string& name,
                                  const std::optional<std::string>& schema) const {
  return schema ? quote(*schema) + "." + quote(name) : quote(name);
}

std::string DdlWriter::fragment(const std::string& sql) const {
  auto found = fragments_.find(sql);
  if (found != fragments_.end()) return found->second;
  std::string compiled;
  try {
    compiled = sql_compiler_.attr("process")(library().text(sql), py::arg("literal_binds") = true)
                   .cast<std::string>();
  } catch (py::error_already_set&) {
    compiled = sql;  // text with a stray ":name" the compiler cannot bind
  }
  fragments_.emplace(sql, compiled);
  return compiled;
}

std::string DdlWriter::column_spec(const TableDef& table, const ColumnDef& column,
                                   bool autoincrement) const {
  std::string spec = quote(column.name);
  std::string type = type_text(column.type);
  bool in_primary_key = false;
  for (const auto& name : table.primary_key) in_primary_key |= name == column.name;

  switch (catalogue_.dialect) {
    case Dialect::kPostgresql: {
      if (autoincrement && !column.identity) {  // autoincrement_column picks key columns only
        if (py::isinstance(column.type, big_integer_)) {
          spec += " BIGSERIAL";
        } else if (py::isinstance(column.type, small_integer_)) {
          spec += " SMALLSERIAL";
        } else {
          spec += " SERIAL";
        }
      } else {
        spec += " " + type;
        if (column.server_default) spec += " DEFAULT " + fragment(*column.server_default);
      }
      if (column.computed) {
        spec += " GENERATED ALWAYS AS (" + fragment(*column.computed) + ")" +
                (column.persisted.value_or(true) ? " STORED" : " VIRTUAL");
      }
      if (column.identity) spec += " " + identity_text(*column.identity);
      if (!column.nullable && !column.identity) spec += " NOT NULL";
      if (column.nullable && column.identity) spec += " NULL";
      return spec;
    }
    case Dialect::kMysql: {
      spec += " " + type;
      if (column.computed) {
        spec += " GENERATED ALWAYS AS (" + fragment(*column.computed) + ")";
        if (column.persisted) spec += *column.persisted ? " STORED" : " VIRTUAL";
      }
      if (!column.nullable) {
        spec += " NOT NULL";
      } else if (py::isinstance(column.type, timestamp_)) {
        spec += " NULL";
      }
      if (column.comment) {
        spec +=
            " COMMENT " + sql_compiler_.attr("render_literal_value")(*column.comment, string_type_)
                              .cast<std::string>();
      }
      if (autoincrement && !column.server_default) {
        spec += " AUTO_INCREMENT";
      } else if (column.server_default) {
        std::string value = fragment(*column.server_default);
        if (default_functions_ && !opens_with_quote_or_paren(value) &&
            core::ascii_lower(value).find(" on update ") == std::string::npos &&
            !precision_function(value) && has_non_word(value)) {
          spec += " DEFAULT (" + value + ")";
        } else {
          spec += " DEFAULT " + value;
        }
      }
      return spec;
    }
    case Dialect::kSqlite: {
      spec += " " + type;
      if (column.server_default) {
        std::string value = fragment(*column.server_default);
        if (!opens_with_quote_or_paren(value) && has_non_word(value)) {
          spec += " DEFAULT (" + value + ")";
        } else {
          spec += " DEFAULT " + value;
        }
      }
      if (!column.nullable) spec += " NOT NULL";
      if (column.computed) {
        spec += " GENERATED ALWAYS AS (" + fragment(*column.computed) + ")";
        if (column.persisted) spec += *column.persisted ? " STORED" : " VIRTUAL";
      }
      return spec;
    }
    case Dialect::kMssql: {
      if (column.computed) {
        spec += " AS (" + fragment(*column.computed) + ")";
        if (column.persisted.value_or(false)) spec += " PERSISTED";
      } else {
        spec += " " + type;
      }
      if (!column.nullable || in_primary_key || column.autoincrement || column.identity) {
        spec += " NOT NULL";
      } else if (!column.computed) {
        spec += " NULL";
      }
      if (column.identity) {
        spec += " IDENTITY(" + std::to_string(column.identity->start) + "," +
                std::to_string(column.identity->increment) + ")";
      } else if (column.server_default) {
        spec += " DEFAULT " + fragment(*column.server_default);
      }
      return spec;
    }
    case Dialect::kOther:
      break;
  }
  return spec + " " + type;
}

std::string DdlWriter::constraints(const TableDef& table) const {
  auto quoted_list = [this](const std::vector<std::string>& names) {
    std::vector<std::string> quoted;
    for (const auto& name : names) quoted.push_back(quote(name));
    return joined(quoted, ", ");
  };
  auto preamble = [this](const std::optional<std::string>& name) {
    return name ? "CONSTRAINT " + quote(*name) + " " : std::string();
  };
  std::vector<std::string> parts;
  if (!table.primary_key.empty()) {
    // A reflected key lists its autoincrement column first, then the others in key order.
    std::vector<std::string> key = table.primary_key;
    if (const ColumnDef* first = autoincrement_column(table)) {
      std::stable_partition(key.begin(), key.end(),
                            [first](const std::string& name) { return name == first->name; });
    }
    parts.push_back(preamble(table.primary_key_name) + "PRIMARY KEY (" + quoted_list(key) + ")");
  }
  for (const auto& key : table.foreign_keys) {
    std::string remote = catalogue_.dialect == Dialect::kSqlite
                             ? quote(key.referred_table)
                             : table_name(key.referred_table, key.referred_schema);
    parts.push_back(preamble(key.name) + "FOREIGN KEY(" + quoted_list(key.columns) +
                    ") REFERENCES " + remote + " (" + quoted_list(key.referred_columns) + ")" +
                    key.tail);
  }
  for (const auto& unique : table.uniques) {
    parts.push_back(preamble(unique.name) + "UNIQUE " + unique.distinct + "(" +
                    quoted_list(unique.columns) + ")");
  }
  for (const auto& check : table.checks) {
    parts.push_back(preamble(check.name) + "CHECK (" + fragment(check.sqltext) + ")" + check.tail);
  }
  return joined(parts, ", \n\t");
}

std::string DdlWriter::post_create(const TableDef& table) const {
  if (!table.table_options || py::len(table.table_options) == 0) return table.post_create;
  // The library's own option printer, fed what its reflection would have collected.
  if (catalogue_.dialect == Dialect::kMysql) {
    py::object options = library().simple_namespace(
        py::arg("kwargs") = py::dict(table.table_options),
        py::arg("comment") = table.comment ? py::object(py::str(*table.comment)) : py::none());
    return ddl_compiler_.attr("post_create_table")(options).cast<std::string>();
  }
  if (catalogue_.dialect == Dialect::kPostgresql) {
    py::dict postgresql;
    for (const char* key :
         {"partition_by", "with_oids", "with", "on_commit", "inherits", "using", "tablespace"}) {
      postgresql[key] = py::none();
    }
    for (py::handle option : table.table_options) {
      postgresql[py::str(option[py::int_(0)]).attr("removeprefix")("postgresql_")] =
          option[py::int_(1)];
    }
    py::dict dialect_options;
    dialect_options["postgresql"] = postgresql;
    return ddl_compiler_
        .attr("post_create_table")(
            library().simple_namespace(py::arg("dialect_options") = dialect_options))
        .cast<std::string>();
  }
  return table.post_create;
}

std::string DdlWriter::create_table(const TableDef& table) const {
  std::optional<std::string> schema = optional_text(catalogue_.schema);
  std::string text = "\nCREATE TABLE " + table_name(table.name, schema) + " (";
  const ColumnDef* autoincrement = autoincrement_column(table);
  const char* separator = "\n";
  for (const auto& column : table.columns) {
    if (column.type.is_none()) continue;  // types the library cannot name are left out
    text += separator;
    text += "\t" + column_spec(table, column, &column == autoincrement);
    separator = ", \n";
  }
  std::string constraint_text = constraints(table);
  if (!constraint_text.empty()) text += separator + ("\t" + constraint_text);
  text += "\n)" + post_create(table);
  return text;
}

}  // namespace norviai::sqlwrap
