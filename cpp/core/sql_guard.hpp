// Lexical read-only guard for model-written SQL: accepts exactly one read-only query, reading
// comments and quoted text the way the target dialect does, and refuses anything else with a
// reason the model can act on. It is the first line of defence only; the database's read-only
// transaction is the guarantee. Pure functions: thread-safe, no Python, no GIL needed.
// Throws only std::bad_alloc.
#pragma once

#include <string>
#include <string_view>

#include "core/sql_dialect.hpp"

namespace norviai::core {

struct GuardVerdict {
  bool allowed = false;
  // When refused: one sentence naming the refused word or construct and what to write instead.
  std::string reason;
  // When allowed: the one statement as written, without surrounding blanks and comments and
  // without its final ';'.
  std::string statement;
};

GuardVerdict check_read_only(std::string_view sql, Dialect dialect);

}  // namespace norviai::core
