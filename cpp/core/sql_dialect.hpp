// The SQL dialects norviai tells apart, shared by the read-only guard and the database wrapper.
// Plain values and pure functions: thread-safe, no Python, no GIL needed.
// dialect_from_name throws std::invalid_argument for a name it does not know.
#pragma once

#include <string_view>

namespace norviai::core {

// kOther: an engine SQLAlchemy knows but we do not; the guard never runs against it.
enum class Dialect { kPostgresql, kMysql, kSqlite, kMssql, kOther };

// SQLAlchemy dialect names, any case: "postgresql"/"postgres", "mysql"/"mariadb", "sqlite",
// "mssql". Throws std::invalid_argument for any other name.
Dialect dialect_from_name(std::string_view name);

}  // namespace norviai::core
