// Statement execution and schema reading over one short-lived connection per call, made from
// the module configuration as it stands when the call starts.
#include "modules/dbaccess/dbaccess.hpp"

namespace norviai::dbaccess {

namespace {

constexpr const char* kPgTablesQuery =
    "\nSELECT table_name"
    "\nFROM information_schema.tables"
    "\nWHERE table_schema = 'public'";

// Same schema as the table list, so a same-named table elsewhere adds no columns.
constexpr const char* kPgColumnsQuery =
    "\nSELECT column_name, data_type"
    "\nFROM information_schema.columns"
    "\nWHERE table_schema = 'public' AND table_name = %s"
    "\nORDER BY ordinal_position";

py::object configured_mysql_connection() {
  return mysql_connection(config_value("db_user"), config_value("db_password"),
                          config_value("db_host"), config_value("db_port"),
                          config_value("db_name"));
}

py::object configured_pg_connection() {
  return pg_connection(config_value("db_user"), config_value("db_password"),
                       config_value("db_host"), config_value("db_port"), config_value("db_name"));
}

// A MySQL identifier in backticks, inner backticks doubled.
std::string backquoted(py::handle name) {
  std::string quoted = "`";
  for (char c : py::str(name).cast<std::string>()) {
    quoted += c;
    if (c == '`') quoted += '`';
  }
  return quoted + "`";
}

py::dict column_record(py::handle name, py::handle type) {
  py::dict record;
  record["name"] = name;
  record["type"] = type;
  return record;
}

py::object report_query_error(py::object error) {
  py::print(py::str("An error occurred while executing the query: {}").format(error));
  return py::none();
}

py::object report_schema_error(py::object error) {
  py::print(py::str("An error occurred: {}").format(error));
  return py::none();
}

py::object execute_mysql_query(py::object sql_query) {
  py::object connection = py::none();
  return close_after(connection, [&] {
    return except_exception(
        [&]() -> py::object {
          connection = configured_mysql_connection();
          if (connection.is_none()) return py::none();
          return with_block(connection.attr("cursor")(), [&](py::object cursor) {
            cursor.attr("execute")(sql_query);
            return cursor.attr("fetchall")();
          });
        },
        report_query_error);
  });
}

py::object execute_pgdb_query(py::object sql_query) {
  py::object connection = py::none();
  return close_after(connection, [&] {
    return except_exception(
        [&]() -> py::object {
          connection = configured_pg_connection();
          if (connection.is_none()) return py::none();
          return with_block(connection.attr("cursor")(), [&](py::object cursor) {
            cursor.attr("execute")(sql_query);
            // A result set, whatever the leading keyword (WITH, VALUES, ... RETURNING).
            py::object rows = py::none();
            if (!cursor.attr("description").is_none()) rows = cursor.attr("fetchall")();
            // Committed in both cases, so INSERT ... RETURNING keeps its rows.
            connection.attr("commit")();
            return rows;
          });
        },
        report_query_error);
  });
}

// Opens a connection with `open` and fills a schema with `read(connection, schema)`: None when
// no connection could be made, else what was read, also up to an error (which is printed).
template <typename Open, typename Read>
py::object read_schema(Open&& open, Read&& read) {
  py::dict schema;
  py::object connection = py::none();
  bool no_connection = false;
  close_after(connection, [&] {
    return except_exception(
        [&]() -> py::object {
          connection = open();
          if (connection.is_none()) {
            no_connection = true;
            return py::none();
          }
          read(connection, schema);
          return py::none();
        },
        report_schema_error);
  });
  if (no_connection) return py::none();
  return schema;
}

py::object get_mysql_database_schema() {
  return read_schema(configured_mysql_connection, [](py::object connection, py::dict schema) {
    with_block(connection.attr("cursor")(), [&](py::object cursor) {
      cursor.attr("execute")("SHOW TABLES");
      for (py::handle row : cursor.attr("fetchall")()) {
        py::object table = py::iter(row.attr("values")()).attr("__next__")();
        py::list columns;
        schema[table] = columns;
        cursor.attr("execute")("SHOW COLUMNS FROM " + backquoted(table));
        for (py::handle column : cursor.attr("fetchall")()) {
          columns.append(column_record(column["Field"], column["Type"]));
        }
      }
      return py::none();
    });
  });
}

py::object get_pgdb_schema() {
  return read_schema(configured_pg_connection, [](py::object connection, py::dict schema) {
    py::object dict_cursor = py::module_::import("psycopg2.extras").attr("DictCursor");
    py::object cursor = connection.attr("cursor")(py::arg("cursor_factory") = dict_cursor);
    with_block(cursor, [&](py::object cursor) {
      cursor.attr("execute")(kPgTablesQuery);
      for (py::handle row : cursor.attr("fetchall")()) {
        py::object table = row["table_name"];
        py::list columns;
        schema[table] = columns;
        cursor.attr("execute")(kPgColumnsQuery, py::make_tuple(table));
        for (py::handle column : cursor.attr("fetchall")()) {
          columns.append(column_record(column["column_name"], column["data_type"]));
        }
      }
      return py::none();
    });
  });
}

}  // namespace

void define_queries(py::module_& m) {
  namespace common = py_common;
  common::def_signed(m, "execute_mysql_query", {"sql_query"}, &execute_mysql_query,
                     py::arg("sql_query"));
  common::def_signed(m, "execute_pgdb_query", {"sql_query"}, &execute_pgdb_query,
                     py::arg("sql_query"));
  common::def_signed(m, "get_mysql_database_schema", {""}, &get_mysql_database_schema);
  common::def_signed(m, "get_pgdb_schema", {""}, &get_pgdb_schema);
}

}  // namespace norviai::dbaccess
