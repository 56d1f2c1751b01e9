#include "core/sql_dialect.hpp"

#include <stdexcept>
#include <string>

#include "core/text_util.hpp"

namespace norviai::core {

Dialect dialect_from_name(std::string_view name) {
  const std::string lower = ascii_lower(name);
  if (lower == "postgresql" || lower == "postgres") return Dialect::kPostgresql;
  if (lower == "mysql" || lower == "mariadb") return Dialect::kMysql;
  if (lower == "sqlite") return Dialect::kSqlite;
  if (lower == "mssql") return Dialect::kMssql;
  throw std::invalid_argument("unknown SQL dialect '" + std::string(name) +
                              "' (expected postgresql, mysql, mariadb, sqlite or mssql)");
}

}  // namespace norviai::core
