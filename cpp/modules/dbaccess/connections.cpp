// Connection test for the three engines and the MySQL and PostgreSQL connection openers.
#include <cctype>

#include "modules/dbaccess/dbaccess.hpp"

namespace norviai::dbaccess {

namespace {

// Text of a value as an f-string renders it.
std::string formatted(py::handle value) {
  return py::str("{}").attr("format")(value).cast<std::string>();
}

// ODBC quoting: a value that holds a delimiter, or blanks the driver would trim, is wrapped in
// braces with closing braces doubled, so it cannot add attributes to the string.
std::string odbc_value(const std::string& value) {
  bool needs_braces = value.find_first_of(";{}=") != std::string::npos;
  if (!value.empty()) {
    needs_braces = needs_braces || std::isspace(static_cast<unsigned char>(value.front())) ||
                   std::isspace(static_cast<unsigned char>(value.back()));
  }
  if (!needs_braces) return value;
  std::string quoted = "{";
  for (char c : value) {
    quoted += c;
    if (c == '}') quoted += '}';
  }
  return quoted + "}";
}

// Both drivers take the same connection keywords.
py::dict connect_keywords(py::object user, py::object password, py::object host, py::object port,
                          py::object name) {
  py::dict keywords;
  keywords["user"] = user;
  keywords["password"] = password;
  keywords["host"] = host;
  keywords["port"] = port;
  keywords["database"] = name;
  return keywords;
}

py::object get_db_connection(py::object engine, py::object user, py::object password,
                             py::object host, py::object port, py::object name) {
  return except_exception(
      [&]() -> py::object {
        py::object connection;
        if (engine.equal(py::str("MySQL"))) {
          py::object connect = py::module_::import("pymysql").attr("connect");
          connection = connect(**connect_keywords(user, password, host, port, name));
        } else if (engine.equal(py::str("PostgreSQL"))) {
          py::object connect = py::module_::import("psycopg2").attr("connect");
          connection = connect(**connect_keywords(user, password, host, port, name));
        } else if (engine.equal(py::str("MsSQL"))) {
          py::object connect = py::module_::import("pyodbc").attr("connect");
          connection = connect(mssql_connection_string(host, port, name, user, password));
        } else {
          return py::str("Unsupported SQL engine specified.");
        }
        // The test only needs the connect call to succeed; a failing close says nothing about it.
        except_exception([&] { return connection.attr("close")(); },
                         [](py::object) -> py::object { return py::none(); });
        return py::str("Success! Connection Established! .");
      },
      [&](py::object error) -> py::object {
        return py::str("Failed to connect to {} database: {}").format(engine, error);
      });
}

}  // namespace

std::string mssql_connection_string(py::handle host, py::handle port, py::handle name,
                                    py::handle user, py::handle password) {
  return "DRIVER={SQL Server};SERVER=" + odbc_value(formatted(host) + "," + formatted(port)) +
         ";DATABASE=" + odbc_value(formatted(name)) + ";UID=" + odbc_value(formatted(user)) +
         ";PWD=" + odbc_value(formatted(password));
}

py::object mysql_connection(py::object user, py::object password, py::object host, py::object port,
                            py::object name) {
  return except_exception(
      [&]() -> py::object {
        py::module_ pymysql = py::module_::import("pymysql");
        py::dict keywords = connect_keywords(user, password, host, port, name);
        keywords["cursorclass"] = py::module_::import("pymysql.cursors").attr("DictCursor");
        return pymysql.attr("connect")(**keywords);
      },
      [](py::object error) -> py::object {
        py::print(py::str("Failed to connect to the database: {}").format(error));
        return py::none();
      });
}

py::object pg_connection(py::object user, py::object password, py::object host, py::object port,
                         py::object name) {
  py::module_ psycopg2 = py::module_::import("psycopg2");
  try {
    return psycopg2.attr("connect")(**connect_keywords(user, password, host, port, name));
  } catch (py::error_already_set& error) {
    if (!error.matches(psycopg2.attr("OperationalError"))) throw;
    py::print(py::str("The error '{}' occurred").format(error.value()));
    return py::none();
  }
}

void define_connections(py::module_& m) {
  namespace common = py_common;
  common::def_signed(
      m, "get_db_connection", {"engine, db_user, db_password, db_host, db_port, db_name"},
      &get_db_connection, py::arg("engine"), py::arg("db_user"), py::arg("db_password"),
      py::arg("db_host"), py::arg("db_port"), py::arg("db_name"));
  common::def_signed(m, "get_mysql_db_connection",
                     {"db_user, db_password, db_host, db_port, db_name"}, &mysql_connection,
                     py::arg("db_user"), py::arg("db_password"), py::arg("db_host"),
                     py::arg("db_port"), py::arg("db_name"));
  common::def_signed(m, "get_pgdb_connection", {"db_user, db_password, db_host, db_port, db_name"},
                     &pg_connection, py::arg("db_user"), py::arg("db_password"), py::arg("db_host"),
                     py::arg("db_port"), py::arg("db_name"));
  // Internal: the connection string the "MsSQL" test hands to pyodbc.
  common::def_signed(
      m, "_mssql_connection_string", {"db_host, db_port, db_name, db_user, db_password"},
      [](py::object host, py::object port, py::object name, py::object user, py::object password) {
        return mssql_connection_string(host, port, name, user, password);
      },
      py::arg("db_host"), py::arg("db_port"), py::arg("db_name"), py::arg("db_user"),
      py::arg("db_password"));
}

}  // namespace norviai::dbaccess
