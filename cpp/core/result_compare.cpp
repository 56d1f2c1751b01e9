#include "core/result_compare.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <numeric>

#include "core/text_util.hpp"

namespace norviai::core {

namespace {

std::optional<double> number_of(const Cell& cell) {
  if (cell.kind == Cell::Kind::kNull) return std::nullopt;
  const std::string text = trim(cell.text);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Digits after the decimal point of a plainly written number ("3653.96" has 2), or nullopt.
std::optional<int> decimals_of(const std::string& text) {
  const auto point = text.find('.');
  if (point == std::string::npos || text.find_first_of("eE") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<int>(trim(text.substr(point + 1)).size());
}

bool numbers_match(const Cell& gold, double gold_value, double predicted, const Tolerance& tol) {
  const double scale = std::max(std::fabs(gold_value), std::fabs(predicted));
  if (std::fabs(gold_value - predicted) <= std::max(tol.absolute, tol.relative * scale)) {
    return true;
  }
  const auto decimals = decimals_of(gold.text);
  if (!decimals || *decimals > 6) return false;
  const double factor = std::pow(10.0, *decimals);
  return std::llround(gold_value * factor) == std::llround(predicted * factor);
}

bool cells_match(const Cell& gold, const Cell& predicted, const Tolerance& tol) {
  const bool gold_null = gold.kind == Cell::Kind::kNull;
  if (gold_null || predicted.kind == Cell::Kind::kNull) {
    return gold_null && predicted.kind == Cell::Kind::kNull;
  }
  if (gold.kind == Cell::Kind::kNumber || predicted.kind == Cell::Kind::kNumber) {
    const auto a = number_of(gold);
    const auto b = number_of(predicted);
    if (a && b) return numbers_match(gold, *a, *b, tol);
  }
  return gold.text == predicted.text;
}

// A total order that keeps matching cells next to each other: NULL, numbers, then text.
bool cell_less(const Cell& a, const Cell& b) {
  const auto rank = [](const Cell& cell, const std::optional<double>& number) {
    return cell.kind == Cell::Kind::kNull ? 0 : number ? 1 : 2;
  };
  const auto na = number_of(a);
  const auto nb = number_of(b);
  const int ra = rank(a, na);
  const int rb = rank(b, nb);
  if (ra != rb) return ra < rb;
  if (ra == 1) return *na < *nb;
  return a.text < b.text;
}

bool rows_less(const std::vector<Cell>& a, const std::vector<Cell>& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), cell_less);
}

std::vector<Cell> column(const ResultRows& rows, size_t index) {
  std::vector<Cell> cells;
  cells.reserve(rows.size());
  for (const auto& row : rows) cells.push_back(row[index]);
  std::sort(cells.begin(), cells.end(), cell_less);
  return cells;
}

bool same_values(const std::vector<Cell>& gold, const std::vector<Cell>& predicted,
                 const Tolerance& tol) {
  return std::equal(gold.begin(), gold.end(), predicted.begin(), predicted.end(),
                    [&](const Cell& a, const Cell& b) { return cells_match(a, b, tol); });
}

// The predicted rows with their columns put in gold order by `mapping`.
ResultRows reordered(const ResultRows& rows, const std::vector<size_t>& mapping) {
  ResultRows out;
  out.reserve(rows.size());
  for (const auto& row : rows) {
    std::vector<Cell> cells;
    cells.reserve(mapping.size());
    for (size_t index : mapping) cells.push_back(row[index]);
    out.push_back(std::move(cells));
  }
  return out;
}

// Index of the first row where the two differ, or rows.size() when all match.
size_t first_difference(const ResultRows& gold, const ResultRows& predicted, const Tolerance& tol) {
  for (size_t i = 0; i < gold.size(); ++i) {
    if (!same_values(gold[i], predicted[i], tol)) return i;
  }
  return gold.size();
}

std::string row_text(const std::vector<Cell>& row) {
  std::string text = "(";
  for (size_t i = 0; i < row.size(); ++i) {
    if (i > 0) text += ", ";
    text += row[i].kind == Cell::Kind::kNull ? "NULL" : row[i].text;
  }
  return text + ")";
}

class ColumnMatcher {
 public:
  ColumnMatcher(const ResultRows& gold, const ResultRows& predicted, bool ordered,
                const Tolerance& tol)
      : predicted_(predicted), ordered_(ordered), tol_(tol) {
    const size_t width = gold.front().size();
    compatible_.assign(width, std::vector<bool>(width, false));
    for (size_t g = 0; g < width; ++g) {
      const auto gold_column = column(gold, g);
      for (size_t p = 0; p < width; ++p) {
        compatible_[g][p] = same_values(gold_column, column(predicted, p), tol);
      }
    }
    sorted_gold_ = gold;
    if (!ordered_) std::sort(sorted_gold_.begin(), sorted_gold_.end(), rows_less);
  }

  // Tries every mapping the columns' values allow; the first whose rows agree wins.
  Comparison run() {
    std::vector<size_t> mapping;
    std::vector<bool> used(compatible_.size(), false);
    if (search(mapping, used)) return {true, ""};
    return {false, difference_};
  }

 private:
  bool search(std::vector<size_t>& mapping, std::vector<bool>& used) {
    const size_t g = mapping.size();
    if (g == compatible_.size()) return rows_agree(mapping);
    bool any = false;
    for (size_t p = 0; p < compatible_.size(); ++p) {
      if (used[p] || !compatible_[g][p]) continue;
      any = true;
      used[p] = true;
      mapping.push_back(p);
      if (search(mapping, used)) return true;
      mapping.pop_back();
      used[p] = false;
    }
    if (!any && difference_.empty()) {
      difference_ = "no column of the query's result holds the values of gold column " +
                    std::to_string(g + 1);
    }
    return false;
  }

  bool rows_agree(const std::vector<size_t>& mapping) {
    ResultRows rows = reordered(predicted_, mapping);
    if (!ordered_) std::sort(rows.begin(), rows.end(), rows_less);
    const size_t at = first_difference(sorted_gold_, rows, tol_);
    if (at == rows.size()) return true;
    difference_ = ordered_ ? "row " + std::to_string(at + 1) + " differs: expected " +
                                 row_text(sorted_gold_[at]) + ", got " + row_text(rows[at])
                           : "the rows differ: expected " + row_text(sorted_gold_[at]) +
                                 " among them, got " + row_text(rows[at]) + " instead";
    return false;
  }

  const ResultRows& predicted_;
  bool ordered_;
  Tolerance tol_;
  std::vector<std::vector<bool>> compatible_;
  ResultRows sorted_gold_;
  std::string difference_;
};

}  // namespace

Comparison compare_results(const ResultRows& gold, const ResultRows& predicted, bool ordered,
                           Tolerance tolerance) {
  if (gold.size() != predicted.size()) {
    return {false, "the query returned " + std::to_string(predicted.size()) +
                       " rows, the gold query " + std::to_string(gold.size())};
  }
  if (gold.empty()) return {true, ""};
  const size_t width = gold.front().size();
  const size_t predicted_width = predicted.front().size();
  if (width != predicted_width) {
    return {false, "the query returned " + std::to_string(predicted_width) +
                       " columns, the gold query " + std::to_string(width)};
  }
  return ColumnMatcher(gold, predicted, ordered, tolerance).run();
}

bool orders_its_result(std::string_view sql) {
  int depth = 0;
  std::string previous;
  bool ordered = false;
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      for (++i; i < sql.size(); ++i) {
        if (sql[i] != close) continue;
        if (i + 1 < sql.size() && sql[i + 1] == close && close != ']') {
          ++i;  // doubled quote inside the quoted text
          continue;
        }
        break;
      }
      ++i;
      previous.clear();
    } else if (sql.substr(i, 2) == "--") {
      i = std::min(sql.find('\n', i), sql.size());
    } else if (sql.substr(i, 2) == "/*") {
      const auto end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? sql.size() : end + 2;
    } else if (c == '(' || c == ')') {
      depth += c == '(' ? 1 : -1;
      ++i;
      previous.clear();
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      size_t end = i;
      while (end < sql.size() &&
             (std::isalnum(static_cast<unsigned char>(sql[end])) || sql[end] == '_')) {
        ++end;
      }
      const std::string word = ascii_upper(sql.substr(i, end - i));
      if (depth == 0) {
        // A set operation after an ORDER BY starts a new select; the last one decides.
        if (word == "UNION" || word == "INTERSECT" || word == "EXCEPT") ordered = false;
        if (previous == "ORDER" && word == "BY") ordered = true;
      }
      previous = word;
      i = end;
    } else {
      if (!std::isspace(static_cast<unsigned char>(c))) previous.clear();
      ++i;
    }
  }
  return ordered;
}

}  // namespace norviai::core
