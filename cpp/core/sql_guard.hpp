// Lexical read-only guard for model-written SQL: accepts exactly one read-only query, reading
// comments and quoted text the way the target dialect does, and refuses anything else with a
// reason the model can act on. It is the first line of defence only; the database's read-only
// transaction is the guarantee. Pure functions: thread-safe, no Python, no GIL needed.
// check_read_only throws only std::bad_alloc; dialect_from_name throws std::invalid_argument.
#pragma once

#include <string>
#include <string_view>

namespace norviai::core {

enum class SqlDialect { kPostgreSql, kMySql, kSqlite, kMsSql };

// SQLAlchemy dialect names, any case: "postgresql"/"postgres", "mysql"/"mariadb", "sqlite",
// "mssql". Throws std::invalid_argument for any other name.
SqlDialect dialect_from_name(std::string_view name);

struct GuardVerdict {
  bool allowed = false;
  // When refused: one sentence naming the refused word or construct and what to write instead.
  std::string reason;
  // When allowed: the one statement as written, without surrounding blanks and comments and
  // without its final ';'.
  std::string statement;
};

GuardVerdict check_read_only(std::string_view sql, SqlDialect dialect);

}  // namespace norviai::core
