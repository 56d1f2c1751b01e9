// The names the read-only guard refuses, one table per dialect: functions that run SQL given as
// text, or touch files, large objects, other sessions, locks or settings, plus the effect each
// refusal names and what the model should write instead. Constant tables and pure functions:
// thread-safe, no Python, no GIL needed. Throws only std::bad_alloc.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/sql_dialect.hpp"

namespace norviai::core {

enum class Effect {
  kChangesData,
  kStartsStatement,
  kRunsSqlText,
  kFiles,
  kLargeObjects,
  kSessions,
  kLocks,
  kSettings,
  kOutside,
  kLoadsCode,
};

struct ForbiddenName {
  std::string_view name;  // upper case
  Effect effect;
  bool prefix = false;  // a family of functions sharing the prefix
};

// The dialect's table of refused functions (empty for Dialect::kOther).
std::span<const ForbiddenName> forbidden_functions(Dialect dialect);

// The entry `upper` (an upper-cased name) matches in `table`, or nullptr.
const ForbiddenName* find_forbidden(std::span<const ForbiddenName> table, std::string_view upper);

// "The query contains <shown>, which <effect>; <what to write instead>."
std::string refusal_for(std::string_view shown, Effect effect);

}  // namespace norviai::core
