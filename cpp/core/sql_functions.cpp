#include "core/sql_functions.hpp"

#include <array>
#include <string>

namespace norviai::core {
namespace {

using E = Effect;

// Names are matched against every word and quoted name, called or not: a quoted name calls the
// function as well ("pg_read_file"(...)), and no column is worth the risk of guessing.
constexpr std::array kPostgresql{
    // SQL hidden in a string argument runs unseen by the guard.
    ForbiddenName{"TS_STAT", E::kRunsSqlText},
    ForbiddenName{"TS_REWRITE", E::kRunsSqlText},
    ForbiddenName{"QUERY_TO_XML", E::kRunsSqlText, true},
    ForbiddenName{"CURSOR_TO_XML", E::kRunsSqlText, true},
    ForbiddenName{"CROSSTAB", E::kRunsSqlText, true},
    ForbiddenName{"CONNECTBY", E::kRunsSqlText},
    ForbiddenName{"DBLINK", E::kOutside, true},
    ForbiddenName{"PG_READ_", E::kFiles, true},
    ForbiddenName{"PG_LS_", E::kFiles, true},
    ForbiddenName{"PG_STAT_FILE", E::kFiles},
    ForbiddenName{"PG_FILE_", E::kFiles, true},  // adminpack, and the pg_file_settings view
    ForbiddenName{"PG_LOGDIR_LS", E::kFiles},
    ForbiddenName{"PG_HBA_FILE_RULES", E::kFiles},
    ForbiddenName{"PG_IDENT_FILE_MAPPINGS", E::kFiles},
    ForbiddenName{"PG_CURRENT_LOGFILE", E::kFiles},
    ForbiddenName{"LO_IMPORT", E::kFiles},
    ForbiddenName{"LO_EXPORT", E::kFiles},
    ForbiddenName{"LO_GET", E::kLargeObjects},
    ForbiddenName{"LO_PUT", E::kLargeObjects},
    ForbiddenName{"LO_FROM_BYTEA", E::kLargeObjects},
    ForbiddenName{"LO_CREATE", E::kLargeObjects},
    ForbiddenName{"LO_CREAT", E::kLargeObjects},
    ForbiddenName{"LO_OPEN", E::kLargeObjects},
    ForbiddenName{"LO_CLOSE", E::kLargeObjects},
    ForbiddenName{"LO_UNLINK", E::kLargeObjects},
    ForbiddenName{"LO_TRUNCATE", E::kLargeObjects, true},
    ForbiddenName{"LO_LSEEK", E::kLargeObjects, true},
    ForbiddenName{"LO_TELL", E::kLargeObjects, true},
    ForbiddenName{"LOREAD", E::kLargeObjects},
    ForbiddenName{"LOWRITE", E::kLargeObjects},
    ForbiddenName{"PG_TERMINATE_BACKEND", E::kSessions},
    ForbiddenName{"PG_CANCEL_BACKEND", E::kSessions},
    ForbiddenName{"PG_NOTIFY", E::kSessions},
    ForbiddenName{"PG_LOG_BACKEND_MEMORY_CONTEXTS", E::kSessions},
    ForbiddenName{"PG_RELOAD_CONF", E::kSessions},
    ForbiddenName{"PG_ROTATE_LOGFILE", E::kSessions},
    ForbiddenName{"PG_PROMOTE", E::kSessions},
    ForbiddenName{"PG_SWITCH_WAL", E::kSessions},
    ForbiddenName{"PG_WAL_REPLAY_", E::kSessions, true},
    ForbiddenName{"PG_BACKUP_", E::kSessions, true},
    ForbiddenName{"PG_START_BACKUP", E::kSessions},
    ForbiddenName{"PG_STOP_BACKUP", E::kSessions},
    ForbiddenName{"PG_STAT_RESET", E::kSessions, true},
    ForbiddenName{"PG_CREATE_", E::kSessions, true},
    ForbiddenName{"PG_DROP_", E::kSessions, true},
    ForbiddenName{"PG_COPY_", E::kSessions, true},
    ForbiddenName{"PG_LOGICAL_", E::kSessions, true},
    ForbiddenName{"PG_REPLICATION_", E::kSessions, true},
    ForbiddenName{"PG_IMPORT_SYSTEM_COLLATIONS", E::kSessions},
    ForbiddenName{"PG_ADVISORY_", E::kLocks, true},
    ForbiddenName{"PG_TRY_ADVISORY_", E::kLocks, true},
    ForbiddenName{"SET_CONFIG", E::kSettings},
};

constexpr std::array kMysql{
    ForbiddenName{"LOAD_FILE", E::kFiles},    ForbiddenName{"SYS_EXEC", E::kLoadsCode},
    ForbiddenName{"SYS_EVAL", E::kLoadsCode}, ForbiddenName{"GET_LOCK", E::kLocks},
    ForbiddenName{"RELEASE_LOCK", E::kLocks}, ForbiddenName{"RELEASE_ALL_LOCKS", E::kLocks},
    ForbiddenName{"IS_FREE_LOCK", E::kLocks}, ForbiddenName{"IS_USED_LOCK", E::kLocks},
};

constexpr std::array kSqlite{
    ForbiddenName{"LOAD_EXTENSION", E::kLoadsCode},
    ForbiddenName{"FTS3_TOKENIZER", E::kLoadsCode},
    ForbiddenName{"READFILE", E::kFiles},
    ForbiddenName{"WRITEFILE", E::kFiles},
    ForbiddenName{"FSDIR", E::kFiles},
};

constexpr std::array kMssql{
    ForbiddenName{"OPENROWSET", E::kOutside},
    ForbiddenName{"OPENDATASOURCE", E::kOutside},
    ForbiddenName{"OPENQUERY", E::kOutside},
    ForbiddenName{"XP_CMDSHELL", E::kLoadsCode},
    ForbiddenName{"XP_DIRTREE", E::kFiles},
    ForbiddenName{"XP_FILEEXIST", E::kFiles},
    ForbiddenName{"XP_SUBDIRS", E::kFiles},
    ForbiddenName{"XP_REGREAD", E::kSessions},
    ForbiddenName{"XP_REGWRITE", E::kSessions},
    ForbiddenName{"FN_GET_AUDIT_FILE", E::kFiles},
    ForbiddenName{"FN_XE_FILE_TARGET_READ_FILE", E::kFiles},
    ForbiddenName{"FN_TRACE_GETTABLE", E::kFiles},
    ForbiddenName{"FN_DUMP_DBLOG", E::kFiles},
};

}  // namespace

std::span<const ForbiddenName> forbidden_functions(Dialect dialect) {
  switch (dialect) {
    case Dialect::kPostgresql:
      return kPostgresql;
    case Dialect::kMysql:
      return kMysql;
    case Dialect::kSqlite:
      return kSqlite;
    case Dialect::kMssql:
      return kMssql;
    case Dialect::kOther:
      break;
  }
  return {};
}

const ForbiddenName* find_forbidden(std::span<const ForbiddenName> table, std::string_view upper) {
  for (const ForbiddenName& entry : table) {
    if (entry.prefix ? upper.starts_with(entry.name) : upper == entry.name) return &entry;
  }
  return nullptr;
}

std::string refusal_for(std::string_view shown, Effect effect) {
  std::string_view what;
  std::string_view instead;
  switch (effect) {
    case Effect::kChangesData:
      what = "changes data or the schema (not allowed inside WITH either)";
      instead = "write a query that only reads, such as a SELECT";
      break;
    case Effect::kStartsStatement:
      what = "starts another statement in SQL Server";
      instead = "send one SELECT query only";
      break;
    case Effect::kRunsSqlText:
      what = "runs SQL given to it as text";
      instead = "write that SQL directly into the query instead (as a subquery or a WITH part)";
      break;
    case Effect::kFiles:
      what = "reads or writes files on the database server";
      instead = "query the database's tables instead";
      break;
    case Effect::kLargeObjects:
      what = "reads or changes large objects";
      instead = "select the columns of the tables instead";
      break;
    case Effect::kSessions:
      what = "acts on other sessions or on the server itself";
      instead = "remove that call and only read data";
      break;
    case Effect::kLocks:
      what = "takes, releases or tests locks";
      instead = "remove that call: reading data needs no lock";
      break;
    case Effect::kSettings:
      what = "changes settings";
      instead = "remove that call and write the query for the current settings";
      break;
    case Effect::kOutside:
      what = "reaches outside this database (another server or database file)";
      instead = "query this database's tables directly";
      break;
    case Effect::kLoadsCode:
      what = "runs or loads code outside SQL";
      instead = "use built-in SQL functions only";
      break;
  }
  return "The query contains " + std::string(shown) + ", which " + std::string(what) + "; " +
         std::string(instead) + ".";
}

}  // namespace norviai::core
