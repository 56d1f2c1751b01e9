#include "service/usage_store.hpp"

#include <sqlite3.h>

#include "service/utc_time.hpp"

namespace norviai::service {
namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS user_questions ("
    " id INTEGER PRIMARY KEY,"
    " norvi_api_key TEXT NOT NULL,"
    " query TEXT NOT NULL,"
    " tokens INTEGER NOT NULL,"
    " total_cost REAL NOT NULL,"
    " created_at TEXT NOT NULL)";
constexpr const char* kInsert =
    "INSERT INTO user_questions (norvi_api_key, query, tokens, total_cost, created_at)"
    " VALUES (?1, ?2, ?3, ?4, ?5)";
constexpr const char* kSelectAll =
    "SELECT id, query, tokens, total_cost, created_at FROM user_questions ORDER BY id";

constexpr int kBusyTimeoutMs = 5000;  // other processes (tests, users) may read the file

// Resets a cached statement and drops its bindings (the key among them) on every exit path.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementUse() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

 private:
  sqlite3_stmt* statement_;
};

std::string column_text(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  if (text == nullptr) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<std::size_t>(sqlite3_column_bytes(statement, column))};
}

}  // namespace

void UsageStore::ConnectionCloser::operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }

void UsageStore::StatementFinalizer::operator()(sqlite3_stmt* statement) const noexcept {
  sqlite3_finalize(statement);
}

UsageStore::UsageStore(const std::string& path) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_.reset(raw);  // owned even on failure: SQLite hands back a handle that must be closed
  if (rc != SQLITE_OK) {
    throw StoreError("cannot open database " + path + ": " +
                     (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  sqlite3_extended_result_codes(db_.get(), 1);
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  if (sqlite3_exec(db_.get(), kCreateTable, nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail("cannot create table user_questions in " + path);
  }
  insert_ = prepare(kInsert);
  select_all_ = prepare(kSelectAll);
}

UsageStore::Statement UsageStore::prepare(const char* sql) const {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  Statement statement(raw);
  if (rc != SQLITE_OK) fail("cannot prepare statement on user_questions");
  return statement;
}

void UsageStore::fail(const std::string& what) const {
  throw StoreError(what + ": " + sqlite3_errmsg(db_.get()));
}

StoredQuestion UsageStore::add(const UsageReport& report) {
  StoredQuestion stored;
  stored.query = report.query;
  stored.tokens = report.tokens;
  stored.total_cost = report.total_cost;
  stored.created_at = utc_now_iso8601();

  std::lock_guard lock(mutex_);
  sqlite3_stmt* statement = insert_.get();
  StatementUse use(statement);
  const bool bound =
      sqlite3_bind_text(statement, 1, report.norvi_api_key.data(),
                        static_cast<int>(report.norvi_api_key.size()),
                        SQLITE_TRANSIENT) == SQLITE_OK &&
      sqlite3_bind_text(statement, 2, report.query.data(), static_cast<int>(report.query.size()),
                        SQLITE_TRANSIENT) == SQLITE_OK &&
      sqlite3_bind_int64(statement, 3, report.tokens) == SQLITE_OK &&
      sqlite3_bind_double(statement, 4, report.total_cost) == SQLITE_OK &&
      sqlite3_bind_text(statement, 5, stored.created_at.data(),
                        static_cast<int>(stored.created_at.size()), SQLITE_TRANSIENT) == SQLITE_OK;
  if (!bound) fail("cannot store usage report");
  if (sqlite3_step(statement) != SQLITE_DONE) fail("cannot store usage report");
  stored.id = sqlite3_last_insert_rowid(db_.get());
  return stored;
}

std::vector<StoredQuestion> UsageStore::all() const {
  std::lock_guard lock(mutex_);
  sqlite3_stmt* statement = select_all_.get();
  StatementUse use(statement);
  std::vector<StoredQuestion> rows;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    StoredQuestion row;
    row.id = sqlite3_column_int64(statement, 0);
    row.query = column_text(statement, 1);
    row.tokens = sqlite3_column_int64(statement, 2);
    row.total_cost = sqlite3_column_double(statement, 3);
    row.created_at = column_text(statement, 4);
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) fail("cannot read usage reports");
  return rows;
}

}  // namespace norviai::service
