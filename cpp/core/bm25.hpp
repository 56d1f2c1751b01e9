// Bm25Index: a lexical index of a database's tables (names, column names, comments, foreign-key
// neighbours) that ranks them for a question by BM25, for picking what a prompt shows.
// Owns copies of all it is given. add() is not thread-safe; the const members may run at once
// on several threads when no add() runs. No Python. add() throws std::invalid_argument for a
// name added twice, name() std::out_of_range for an unknown id; all may throw std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace norviai::core {

class Bm25Index {
 public:
  struct Hit {
    std::size_t table;
    double score;
  };
  static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

  // Indexes one table and returns its id (0, 1, ... in the order of adding). Foreign-key
  // neighbours are table names in either direction; they link both ways, and names that are
  // never added are ignored.
  std::size_t add(std::string name, const std::vector<std::string>& columns,
                  const std::vector<std::string>& comments,
                  const std::vector<std::string>& fk_neighbours);

  // The at most k tables sharing a word with the question, best first; equal scores in name
  // order. Words no table has, and an empty question, add nothing.
  std::vector<Hit> rank(std::string_view question, std::size_t k) const;

  // The tables given, then the neighbours of each in turn (in name order) not already listed,
  // cut at `limit` tables.
  std::vector<std::size_t> with_neighbours(const std::vector<std::size_t>& tables,
                                           std::size_t limit = kNoLimit) const;

  // The top k of rank(), then their neighbours: those that match the question better first,
  // then by name; cut at `limit` tables.
  std::vector<std::size_t> relevant_tables(std::string_view question, std::size_t k,
                                           std::size_t limit = kNoLimit) const;

  const std::string& name(std::size_t table) const;
  std::size_t size() const { return names_.size(); }

 private:
  struct Posting {
    std::uint32_t table;
    float frequency;  // weighted by where the word occurs
  };

  // Scores of every table for the question (0 where no word matches).
  std::vector<double> scores(std::string_view question) const;
  std::vector<Hit> top(const std::vector<double>& score, std::size_t k) const;
  // Best first, equal scores in name order.
  bool before(std::size_t a, std::size_t b, const std::vector<double>& score) const;
  std::vector<std::size_t> expand(const std::vector<std::size_t>& tables, std::size_t limit,
                                  const std::vector<double>* score) const;

  std::vector<std::string> names_;
  std::unordered_map<std::string, std::size_t> ids_;
  std::map<std::string, std::set<std::string>> neighbours_;  // by name, both directions
  std::unordered_map<std::string, std::uint32_t> terms_;
  std::vector<std::vector<Posting>> postings_;  // by term id
  std::vector<float> lengths_;                  // weighted word count of each table
  double total_length_ = 0;
};

}  // namespace norviai::core
