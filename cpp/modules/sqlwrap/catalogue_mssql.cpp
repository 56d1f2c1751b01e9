// SQL Server catalogue: three queries (columns with identity and computed definitions, primary
// key columns, foreign key columns) over INFORMATION_SCHEMA and the sys views.
#include <map>
#include <string>
#include <utility>

#include "modules/common/pyutil.hpp"
#include "modules/sqlwrap/sqlwrap.hpp"

namespace norviai::sqlwrap {

namespace {

namespace common = norviai::py_common;

constexpr const char* kColumns = R"sql(
SELECT c.TABLE_NAME, c.COLUMN_NAME, c.DATA_TYPE, c.IS_NULLABLE, c.CHARACTER_MAXIMUM_LENGTH,
       c.NUMERIC_PRECISION, c.NUMERIC_SCALE, c.COLUMN_DEFAULT, c.COLLATION_NAME,
       COLUMNPROPERTY(o.object_id, c.COLUMN_NAME, 'IsIdentity'),
       IDENT_SEED(QUOTENAME(c.TABLE_SCHEMA) + '.' + QUOTENAME(c.TABLE_NAME)),
       IDENT_INCR(QUOTENAME(c.TABLE_SCHEMA) + '.' + QUOTENAME(c.TABLE_NAME)),
       cc.definition, cc.is_persisted
FROM INFORMATION_SCHEMA.COLUMNS c
JOIN sys.objects o
  ON o.object_id = OBJECT_ID(QUOTENAME(c.TABLE_SCHEMA) + '.' + QUOTENAME(c.TABLE_NAME))
LEFT JOIN sys.computed_columns cc ON cc.object_id = o.object_id AND cc.name = c.COLUMN_NAME
WHERE c.TABLE_SCHEMA = COALESCE(:schema, SCHEMA_NAME())
ORDER BY c.TABLE_NAME, c.ORDINAL_POSITION)sql";

constexpr const char* kPrimaryKeys = R"sql(
SELECT tc.TABLE_NAME, tc.CONSTRAINT_NAME, k.COLUMN_NAME
FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS tc
JOIN INFORMATION_SCHEMA.KEY_COLUMN_USAGE k
  ON k.CONSTRAINT_SCHEMA = tc.CONSTRAINT_SCHEMA AND k.CONSTRAINT_NAME = tc.CONSTRAINT_NAME
WHERE tc.CONSTRAINT_TYPE = 'PRIMARY KEY' AND tc.TABLE_SCHEMA = COALESCE(:schema, SCHEMA_NAME())
ORDER BY tc.TABLE_NAME, k.ORDINAL_POSITION)sql";

constexpr const char* kForeignKeys = R"sql(
SELECT OBJECT_NAME(fk.parent_object_id), fk.name,
       COL_NAME(fkc.parent_object_id, fkc.parent_column_id),
       OBJECT_SCHEMA_NAME(fk.referenced_object_id), OBJECT_NAME(fk.referenced_object_id),
       COL_NAME(fkc.referenced_object_id, fkc.referenced_column_id),
       fk.delete_referential_action_desc, fk.update_referential_action_desc,
       OBJECT_SCHEMA_NAME(fk.parent_object_id)
FROM sys.foreign_keys fk
JOIN sys.foreign_key_columns fkc ON fkc.constraint_object_id = fk.object_id
WHERE OBJECT_SCHEMA_NAME(fk.parent_object_id) = COALESCE(:schema, SCHEMA_NAME())
ORDER BY 1, 2, fkc.constraint_column_id)sql";

}  // namespace

void read_mssql(py::handle connection, Catalogue& catalogue) {
  py::object dialect = connection.attr("dialect");
  py::object ischema_names = dialect.attr("ischema_names");
  py::handle types = library().types;
  py::module_ mssql = py::module_::import("sqlalchemy.dialects.mssql.base");
  py::tuple sized = py::make_tuple(types.attr("String"), types.attr("_Binary"));
  py::object issubclass = py::module_::import("builtins").attr("issubclass");
  py::dict parameters;
  parameters["schema"] = catalogue.schema;

  for (const py::tuple& row : fetch_all(connection, kColumns, parameters)) {
    std::string table_name = text_of(row[0]);
    TableDef& table = catalogue.tables[table_name];
    table.name = table_name;
    ColumnDef column;
    column.name = text_of(row[1]);
    py::object cls = ischema_names.attr("get")(text_of(row[2]), py::none());
    if (!cls.is_none()) {
      py::dict kwargs;
      if (issubclass(cls, sized).cast<bool>() &&
          !issubclass(cls, mssql.attr("TEXT")).cast<bool>()) {
        long long length = row[4].is_none() ? -1 : row[4].cast<long long>();
        if (length != -1) kwargs["length"] = length;
        if (!row[8].is_none() && issubclass(cls, types.attr("String")).cast<bool>()) {
          kwargs["collation"] = row[8];
        }
      } else if (issubclass(cls, types.attr("Numeric")).cast<bool>() && !row[5].is_none()) {
        kwargs["precision"] = row[5];
        if (!issubclass(cls, types.attr("Float")).cast<bool>()) kwargs["scale"] = row[6];
      }
      column.type = make_type(cls, py::tuple(), kwargs);
    } else {
      column.type = py::none();
    }
    column.nullable = text_of(row[3]) == "YES";
    column.server_default = optional_text(row[7]);
    if (!row[9].is_none() && row[9].cast<long long>() == 1) {
      Identity identity;
      identity.start = row[10].is_none() ? 1 : py::int_(row[10]).cast<long long>();
      identity.increment = row[11].is_none() ? 1 : py::int_(row[11]).cast<long long>();
      column.identity = identity;
      column.autoincrement = true;
    }
    if (!row[12].is_none()) {
      column.computed = text_of(row[12]);
      column.persisted = common::truthy(row[13]);
    }
    table.columns.push_back(std::move(column));
  }

  for (const py::tuple& row : fetch_all(connection, kPrimaryKeys, parameters)) {
    auto found = catalogue.tables.find(text_of(row[0]));
    if (found == catalogue.tables.end()) continue;
    found->second.primary_key_name = text_of(row[1]);
    found->second.primary_key.push_back(text_of(row[2]));
  }

  add_foreign_keys(catalogue, fetch_all(connection, kForeignKeys, parameters),
                   [&](const py::tuple& row, ForeignKeyDef& key) {
                     if (text_of(row[3]) != text_of(row[8]) || !catalogue.schema.is_none()) {
                       key.referred_schema = text_of(row[3]);
                     }
                     for (auto [action, clause] : {std::pair{text_of(row[6]), " ON DELETE "},
                                                   std::pair{text_of(row[7]), " ON UPDATE "}}) {
                       if (action == "NO_ACTION" || action.empty()) continue;
                       for (char& ch : action) ch = ch == '_' ? ' ' : ch;
                       key.tail += clause + action;
                     }
                   });
}

}  // namespace norviai::sqlwrap
