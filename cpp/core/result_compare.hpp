// Execution accuracy: whether the rows a generated query returned are the rows its gold query
// returns. Rows compare as multisets (as sequences when the gold query orders its result),
// columns are matched whatever their order, and numbers match within a tolerance.
// Pure functions of their arguments: thread-safe, no Python; they throw only std::bad_alloc.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norviai::core {

// One cell as the caller read it from the driver: NULL, a number (written in decimal, as
// Python's str() of an int, float or Decimal gives it) or any other value as text.
struct Cell {
  enum class Kind { kNull, kNumber, kText };
  Kind kind = Kind::kNull;
  std::string text;

  static Cell null() { return {}; }
  static Cell number(std::string decimal) { return {Kind::kNumber, std::move(decimal)}; }
  static Cell of_text(std::string value) { return {Kind::kText, std::move(value)}; }
};

using ResultRows = std::vector<std::vector<Cell>>;

struct Tolerance {
  double relative = 1e-4;
  double absolute = 1e-6;
};

struct Comparison {
  bool match = false;
  // When they differ: one line saying how (column count, row count, which row or values).
  std::string difference;
};

// Whether `predicted` holds the same result as `gold`. `ordered`: the gold query orders its
// rows, so the order must agree too. A predicted number also matches a gold number written with
// d decimals when it rounds to it at d decimals (a query that forgot ROUND(x, 2) is right).
Comparison compare_results(const ResultRows& gold, const ResultRows& predicted, bool ordered,
                           Tolerance tolerance = {});

// Whether the statement ends in an ORDER BY of its own (outside parentheses, quotes and
// comments), which is when its row order is part of its result.
bool orders_its_result(std::string_view sql);

}  // namespace norviai::core
