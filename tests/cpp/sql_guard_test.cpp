#include "core/sql_guard.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace norviai::core {
namespace {

using Dialects = std::vector<Dialect>;
const Dialects kAll = {Dialect::kPostgresql, Dialect::kMysql, Dialect::kSqlite, Dialect::kMssql};
const Dialects kPg = {Dialect::kPostgresql};
const Dialects kMy = {Dialect::kMysql};
const Dialects kLite = {Dialect::kSqlite};
const Dialects kMs = {Dialect::kMssql};

const char* name_of(Dialect dialect) {
  switch (dialect) {
    case Dialect::kPostgresql:
      return "postgresql";
    case Dialect::kMysql:
      return "mysql";
    case Dialect::kSqlite:
      return "sqlite";
    case Dialect::kMssql:
      return "mssql";
    case Dialect::kOther:
      break;
  }
  return "?";
}

struct Allowed {
  Dialects dialects;
  std::string sql;
  std::string statement;  // what is sent to the server
};

struct Refused {
  Dialects dialects;
  std::string sql;
  std::string mentioned;  // the reason must name the construct
};

void expect_allowed(const Allowed& c) {
  for (Dialect dialect : c.dialects) {
    const GuardVerdict verdict = check_read_only(c.sql, dialect);
    EXPECT_TRUE(verdict.allowed) << name_of(dialect) << ": " << c.sql << "\n" << verdict.reason;
    EXPECT_EQ(verdict.statement, c.statement) << name_of(dialect) << ": " << c.sql;
  }
}

void expect_refused(const Refused& c) {
  for (Dialect dialect : c.dialects) {
    const GuardVerdict verdict = check_read_only(c.sql, dialect);
    EXPECT_FALSE(verdict.allowed) << name_of(dialect) << ": " << c.sql;
    EXPECT_NE(verdict.reason.find(c.mentioned), std::string::npos)
        << name_of(dialect) << ": " << c.sql << "\nreason: " << verdict.reason;
    EXPECT_TRUE(verdict.statement.empty()) << name_of(dialect) << ": " << c.sql;
  }
}

TEST(SqlGuardTest, DialectNames) {
  EXPECT_EQ(dialect_from_name("postgresql"), Dialect::kPostgresql);
  EXPECT_EQ(dialect_from_name("postgres"), Dialect::kPostgresql);
  EXPECT_EQ(dialect_from_name("mysql"), Dialect::kMysql);
  EXPECT_EQ(dialect_from_name("MariaDB"), Dialect::kMysql);
  EXPECT_EQ(dialect_from_name("sqlite"), Dialect::kSqlite);
  EXPECT_EQ(dialect_from_name("mssql"), Dialect::kMssql);
  for (const char* unknown : {"oracle", "", "postgresql+psycopg2"}) {
    EXPECT_THROW(dialect_from_name(unknown), std::invalid_argument) << unknown;
  }
}

TEST(SqlGuardTest, AllowsOneReadOnlyQuery) {
  const std::vector<Allowed> cases = {
      {kAll, "SELECT 1", "SELECT 1"},
      {kAll, "  \n select name from t  \n", "select name from t"},
      {kAll, "SELECT 1;", "SELECT 1"},
      {kAll, "SELECT 1 ;  -- done\n", "SELECT 1"},
      {kAll, "SELECT 1 /* c */ ; /* trailing */", "SELECT 1"},
      {kAll, "-- leading note\nSELECT 1", "SELECT 1"},
      {kAll, "SELECT /* a;b */ 1", "SELECT /* a;b */ 1"},
      {kAll, "SELECT 1 -- ; DROP TABLE t", "SELECT 1"},
      {kAll, "WITH x AS (SELECT a FROM t) SELECT * FROM x;",
       "WITH x AS (SELECT a FROM t) SELECT * FROM x"},
      {kAll, "(SELECT 1) UNION (SELECT 2)", "(SELECT 1) UNION (SELECT 2)"},
      {kAll, "SELECT 'DELETE FROM x; DROP' AS s", "SELECT 'DELETE FROM x; DROP' AS s"},
      {kAll, "SELECT 'it''s; fine'", "SELECT 'it''s; fine'"},
      {kAll, "SELECT created_at, updated, deleted_flag, insert_date, drop_rate FROM t",
       "SELECT created_at, updated, deleted_flag, insert_date, drop_rate FROM t"},
      {kPg, "SELECT \"DELETE\", \"a;b\" FROM \"Größe\" WHERE x = 'héllo; wörld'",
       "SELECT \"DELETE\", \"a;b\" FROM \"Größe\" WHERE x = 'héllo; wörld'"},
      {kPg, "EXPLAIN (COSTS OFF) SELECT 1", "EXPLAIN (COSTS OFF) SELECT 1"},
      {kPg, "TABLE orders", "TABLE orders"},
      {kPg, "SHOW search_path", "SHOW search_path"},
      {kPg, "SELECT pg_sleep(1), price$usd FROM t", "SELECT pg_sleep(1), price$usd FROM t"},
      {kPg, "SELECT $$it's; DROP$$, $q$ $$ ; $q$", "SELECT $$it's; DROP$$, $q$ $$ ; $q$"},
      {kPg, "SELECT E'a\\'; DROP TABLE t; --'", "SELECT E'a\\'; DROP TABLE t; --'"},
      {kPg, "SELECT 1 /* outer /* inner */ ; DROP TABLE t; */", "SELECT 1"},
      {kMy, "SELECT `a;b` FROM t # ; DROP TABLE t", "SELECT `a;b` FROM t"},
      {kMy, "SELECT \"x;y\", 'a\\\\' FROM t", "SELECT \"x;y\", 'a\\\\' FROM t"},
      {kMy, "SHOW CREATE TABLE t", "SHOW CREATE TABLE t"},
      {kMy, "DESC t", "DESC t"},
      {kMy, "SELECT a FROM t /*+ MAX_EXECUTION_TIME(10) */", "SELECT a FROM t"},
      {kLite, "EXPLAIN QUERY PLAN SELECT [a;b] FROM t", "EXPLAIN QUERY PLAN SELECT [a;b] FROM t"},
      {kLite, "SELECT name FROM pragma_table_info('t')", "SELECT name FROM pragma_table_info('t')"},
      {kMs, "SELECT TOP 5 [a]]b;] FROM t WITH (NOLOCK) OPTION (USE HINT('X'))",
       "SELECT TOP 5 [a]]b;] FROM t WITH (NOLOCK) OPTION (USE HINT('X'))"},
      {kMs, "SELECT @@ROWCOUNT, $action FROM #recent", "SELECT @@ROWCOUNT, $action FROM #recent"},
      // COPY is a statement, never a name the guard should trip over.
      {kAll, "SELECT name AS copy, t.copy FROM t ORDER BY copy",
       "SELECT name AS copy, t.copy FROM t ORDER BY copy"},
      {kPg, "SELECT get_lock, lock_id, setting FROM locks",
       "SELECT get_lock, lock_id, setting FROM locks"},
  };
  for (const Allowed& c : cases) expect_allowed(c);
}

TEST(SqlGuardTest, RefusesWhatIsNotOneReadOnlyQuery) {
  const std::vector<Refused> cases = {
      {kAll, "", "The query is empty."},
      {kAll, " \n\t ", "The query is empty."},
      {kAll, "-- only a comment", "The query is empty."},
      {kAll, "/* */ ;", "The query is empty."},
      {kAll, "DELETE FROM t", "the text starts with DELETE"},
      {kAll, "update t set a = 1", "the text starts with update"},
      {kAll, "INSERT INTO t VALUES (1)", "INSERT"},
      {kAll, "DROP TABLE t", "DROP"},
      {kAll, "TRUNCATE t", "TRUNCATE"},
      {kAll, "ALTER TABLE t ADD c int", "ALTER"},
      {kAll, "CREATE TABLE t (a int)", "CREATE"},
      {kAll, "GRANT SELECT ON t TO u", "GRANT"},
      {kAll, "-- just a note\nDELETE FROM t", "DELETE"},
      {kAll, "Here is the query: SELECT 1", "starts with Here"},
      {kAll, "WITH x AS (DELETE FROM t RETURNING *) SELECT * FROM x", "DELETE"},
      {kAll, "WITH x AS (SELECT 1) UPDATE t SET a = 1", "UPDATE"},
      {kAll, "SELECT 1; SELECT 2", "more than one (the second starts with SELECT)"},
      {kAll, "COMMIT; DELETE FROM t", "the second starts with DELETE"},
      {kAll, "SELECT 1 /* */; DROP TABLE t", "the second starts with DROP"},
      {kAll, "SELECT 1 -- note\n; DROP TABLE t", "DROP"},
      {kAll, "SELECT 1;;", "extra ';'"},
      {kAll, "; SELECT 1", "extra ';'"},
      {kAll, "SELECT a INTO new_t FROM t", "INTO"},
      {kAll, "SELECT * FROM t FOR UPDATE", "FOR UPDATE"},
      {kAll, "COPY t TO '/tmp/x'", "COPY"},
      {kAll, "SELECT 'abc", "unterminated quoted text starting with \"'abc\""},
      {kAll, "SELECT 1 /* abc", "unterminated /* comment"},
      {kAll, std::string("SELECT 1") + '\0' + "; DROP TABLE t", "NUL"},
      {kPg, "EXPLAIN ANALYZE SELECT 1", "ANALYZE"},
      {kPg, "EXPLAIN (ANALYZE, BUFFERS) SELECT 1", "ANALYZE"},
      {kPg, "EXPLAIN (FORMAT JSON, analyse) SELECT 1", "analyse"},
      {kPg, "SELECT pg_read_file('/etc/passwd')", "pg_read_file"},
      {kPg, "SELECT pg_catalog.pg_ls_dir('.')", "pg_ls_dir"},
      {kPg, "SELECT \"pg_read_binary_file\"('/etc/passwd')", "pg_read_binary_file"},
      {kPg, "SELECT U&\"pg\\005fread\\005ffile\"('/etc/passwd')", "U&"},
      {kPg, "SELECT lo_export(1, '/tmp/x'), 1", "lo_export"},
      {kPg, "SELECT * FROM dblink('host=x', 'DELETE FROM t') AS r(a int)", "dblink"},
      {kPg, "SELECT set_config('statement_timeout', '0', false)", "set_config"},
      {kPg, "SELECT query_to_xml('SELECT 1', true, true, '')", "query_to_xml"},
      {kPg, "SELECT $$ ' $$; DROP TABLE t; --'", "the second starts with DROP"},
      {kPg, "SELECT 'a\\'; DROP TABLE t; --'", "the second starts with DROP"},
      {kPg, "SELECT $x$ abc", "unterminated dollar-quoted string"},
      {kMy, "SELECT * FROM t INTO OUTFILE '/tmp/x'", "INTO OUTFILE"},
      {kMy, "SELECT a FROM t INTO DUMPFILE '/tmp/x'", "INTO DUMPFILE"},
      {kMy, "SELECT a INTO @v FROM t", "INTO"},
      {kMy, "SELECT LOAD_FILE('/etc/passwd')", "LOAD_FILE"},
      {kMy, "LOAD DATA INFILE '/x' INTO TABLE t", "LOAD"},
      {kMy, "EXPLAIN ANALYZE SELECT 1", "ANALYZE"},
      {kMy, "SELECT 1 /*!50000 , LOAD_FILE('/etc/passwd') */", "/*!"},
      {kMy, "SELECT 1 /*M! ; DROP TABLE t */", "/*!"},
      {kMy, "SELECT 'it\\'s'", "(\\')"},
      {kMy, "SELECT `abc", "close it with `"},
      {kLite, "ATTACH DATABASE '/tmp/x.db' AS x", "ATTACH"},
      {kLite, "SELECT load_extension('/tmp/evil')", "load_extension"},
      {kLite, "SELECT readfile('/etc/passwd'), writefile('/tmp/x', 'y')", "readfile"},
      {kMs, "SELECT * FROM OPENROWSET(BULK 'c:\\x', SINGLE_CLOB) AS x", "OPENROWSET"},
      {kMs, "SELECT * FROM OPENDATASOURCE('SQLNCLI', 'x').db.dbo.t", "OPENDATASOURCE"},
      {kMs, "SELECT 1 EXEC xp_cmdshell 'dir'", "EXEC"},
      {kMs, "SELECT [xp_cmdshell]", "xp_cmdshell"},
      {kMs, "SELECT 1DELETE FROM t", "DELETE"},
      {kMs, "SELECT 0x1FUPDATE t SET a = 1", "UPDATE"},
      {kMs, "SELECT 1\u00a0DROP TABLE t", "DROP"},
      {kMs, "SELECT 1 USE master", "USE"},
      {kMs, "SELECT 1 AS [(] USE hint", "USE"},
      {kMs, "SELECT show CREATE TABLE x (a int)", "CREATE"},
      {kMs, "SELECT [abc", "close it with ]"},
  };
  for (const Refused& c : cases) expect_refused(c);
}

// Functions that run SQL given as text or reach past the query, by dialect: the refusal names the
// function and says what to write instead.
TEST(SqlGuardTest, RefusesFunctionsThatReachBeyondTheQuery) {
  struct Case {
    Dialects dialects;
    std::string sql;
    std::string function;
    std::string advice;
  };
  const std::vector<Case> cases = {
      {kPg, "SELECT * FROM ts_stat('SELECT to_tsvector(pg_terminate_backend(42)::text)')",
       "ts_stat", "write that SQL directly into the query"},
      {kPg, "SELECT ts_rewrite('a'::tsquery, 'SELECT pg_read_binary_file(''/etc/passwd'')')",
       "ts_rewrite", "write that SQL directly into the query"},
      {kPg, "SELECT query_to_xmlschema('SELECT 1', true, true, '')", "query_to_xmlschema",
       "write that SQL directly"},
      {kPg, "SELECT * FROM crosstab('SELECT a, b, c FROM t') AS x(a int, b int)", "crosstab",
       "write that SQL directly"},
      {kPg, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity", "pg_terminate_backend",
       "remove that call"},
      {kPg, "SELECT pg_notify('jobs', 'x')", "pg_notify", "remove that call"},
      {kPg, "SELECT pg_advisory_lock(42)", "pg_advisory_lock", "reading data needs no lock"},
      {kPg, "SELECT PG_TRY_ADVISORY_XACT_LOCK(1)", "PG_TRY_ADVISORY_XACT_LOCK", "no lock"},
      {kPg, "SELECT lo_get(16384)", "lo_get", "select the columns of the tables instead"},
      {kPg, "SELECT lo_import('/etc/passwd')", "lo_import", "query the database's tables"},
      {kPg, "SELECT * FROM pg_ls_waldir()", "pg_ls_waldir", "query the database's tables"},
      {kPg, "SELECT * FROM pg_file_settings", "pg_file_settings", "query the database's tables"},
      {kPg, "SELECT pg_catalog.set_config('search_path', 'x', false)", "set_config",
       "write the query for the current settings"},
      {kMy, "SELECT GET_LOCK('x', 10)", "GET_LOCK", "reading data needs no lock"},
      {kMy, "SELECT release_all_locks()", "release_all_locks", "no lock"},
      {kMy, "SELECT `load_file`('/etc/passwd')", "\"load_file\"", "query the database's tables"},
      {kLite, "SELECT * FROM fsdir('/etc')", "fsdir", "query the database's tables"},
      {kMs, "SELECT * FROM OPENQUERY(other, 'DELETE FROM t')", "OPENQUERY",
       "query this database's tables directly"},
  };
  for (const Case& c : cases) {
    for (Dialect dialect : c.dialects) {
      const GuardVerdict verdict = check_read_only(c.sql, dialect);
      EXPECT_FALSE(verdict.allowed) << name_of(dialect) << ": " << c.sql;
      EXPECT_NE(verdict.reason.find("contains " + c.function + ","), std::string::npos)
          << c.sql << "\nreason: " << verdict.reason;
      EXPECT_NE(verdict.reason.find(c.advice), std::string::npos)
          << c.sql << "\nreason: " << verdict.reason;
    }
  }
}

// The same text splits differently by dialect: quoting and comment rules decide what is code.
TEST(SqlGuardTest, ReadsQuotesAndCommentsAsEachDialectDoes) {
  const std::vector<Allowed> allowed = {
      {kMy, "SELECT 1 # ; DROP TABLE t", "SELECT 1"},
      {kPg, "SELECT 1 --; DROP TABLE t", "SELECT 1"},
      {kLite, "SELECT 1 --x\r; DROP TABLE t", "SELECT 1"},
      {kPg, "SELECT 1 /* /* */ ; DROP TABLE t; */", "SELECT 1"},
      {kMs, "SELECT [a;b] FROM t", "SELECT [a;b] FROM t"},
      {kLite, "SELECT `a;b` FROM t", "SELECT `a;b` FROM t"},
      {kPg, "SELECT $$;$$", "SELECT $$;$$"},
  };
  const std::vector<Refused> refused = {
      {Dialects{Dialect::kPostgresql, Dialect::kSqlite, Dialect::kMssql},
       "SELECT 1 # ; DROP TABLE t", "DROP"},
      {kMy, "SELECT 1 --; DROP TABLE t", "DROP"},  // MySQL needs a blank after --
      {kPg, "SELECT 1 --x\r; DROP TABLE t", "DROP"},
      {kMs, "SELECT 1 --x\r; DROP TABLE t", "carriage return"},
      {Dialects{Dialect::kMysql, Dialect::kSqlite}, "SELECT 1 /* /* */ ; DROP TABLE t; */", "DROP"},
      {Dialects{Dialect::kPostgresql, Dialect::kMysql}, "SELECT [a;b] FROM t",
       "second starts with b"},
      {Dialects{Dialect::kPostgresql, Dialect::kMssql}, "SELECT `a;b` FROM t",
       "second starts with b"},
      {Dialects{Dialect::kMysql, Dialect::kSqlite, Dialect::kMssql}, "SELECT $$;$$",
       "second starts with $$"},
  };
  for (const Allowed& c : allowed) expect_allowed(c);
  for (const Refused& c : refused) expect_refused(c);
}

}  // namespace
}  // namespace norviai::core
