// UsageStore: the SQLite file of usage reports (table user_questions, created when missing).
// Owns one connection and its prepared statements for its whole life; a mutex serialises them, so
// every method is safe from any thread. Throws StoreError with SQLite's message, which names
// tables and columns but never a stored value.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/usage_report.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace norviai::service {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A stored report as answered to clients: the key is kept in the table but never returned.
struct StoredQuestion {
  std::int64_t id = 0;
  std::string query;
  std::int64_t tokens = 0;
  double total_cost = 0.0;
  std::string created_at;  // UTC, ISO-8601
};

class UsageStore {
 public:
  explicit UsageStore(const std::string& path);

  StoredQuestion add(const UsageReport& report);
  std::vector<StoredQuestion> all() const;

 private:
  struct ConnectionCloser {
    void operator()(sqlite3* db) const noexcept;
  };
  struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const noexcept;
  };
  using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
  using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

  Statement prepare(const char* sql) const;
  [[noreturn]] void fail(const std::string& what) const;

  mutable std::mutex mutex_;
  Connection db_;  // declared before the statements, so it is closed after them
  Statement insert_;
  Statement select_all_;
};

}  // namespace norviai::service
