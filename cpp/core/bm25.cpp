#include "core/bm25.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "core/words.hpp"

namespace norviai::core {
namespace {

// A word of a table's own name counts for four of a column's: "customers" is about customers
// more than "orders" with its customer_id is.
constexpr float kNameWeight = 4.0F;
constexpr float kColumnWeight = 1.0F;
constexpr float kCommentWeight = 1.0F;
// Neighbours' names only nudge: the expansion is what brings neighbours in.
constexpr float kNeighbourWeight = 0.5F;
constexpr double kK1 = 1.2;
constexpr double kB = 0.75;

// Words of questions and comments that say nothing about which table is meant.
bool is_stop_word(const std::string& word) {
  static const std::unordered_set<std::string> kStopWords = [] {
    std::unordered_set<std::string> words;
    for (const char* word :
         {"a",     "an",    "and",   "are",  "as",    "at",   "be",  "by",   "did",
          "do",    "does",  "for",   "from", "how",   "i",    "in",  "is",   "it",
          "its",   "me",    "my",    "of",   "on",    "or",   "our", "that", "the",
          "their", "them",  "there", "this", "to",    "was",  "we",  "were", "what",
          "when",  "where", "which", "who",  "whose", "with", "you", "your"}) {
      words.insert(fold_word(word));
    }
    return words;
  }();
  return kStopWords.count(word) != 0;
}

void count_words(std::string_view text, float weight,
                 std::unordered_map<std::string, float>& frequencies, float& length) {
  for (std::string& word : split_words(text)) {
    if (is_stop_word(word)) continue;
    frequencies[std::move(word)] += weight;
    length += weight;
  }
}

}  // namespace

std::size_t Bm25Index::add(std::string name, const std::vector<std::string>& columns,
                           const std::vector<std::string>& comments,
                           const std::vector<std::string>& fk_neighbours) {
  if (ids_.count(name) != 0) throw std::invalid_argument("table added twice: " + name);
  const std::size_t id = names_.size();

  std::unordered_map<std::string, float> frequencies;
  float length = 0;
  count_words(name, kNameWeight, frequencies, length);
  for (const auto& column : columns) count_words(column, kColumnWeight, frequencies, length);
  for (const auto& comment : comments) count_words(comment, kCommentWeight, frequencies, length);
  for (const auto& neighbour : fk_neighbours) {
    count_words(neighbour, kNeighbourWeight, frequencies, length);
    if (neighbour == name) continue;
    neighbours_[name].insert(neighbour);
    neighbours_[neighbour].insert(name);
  }

  for (auto& [word, frequency] : frequencies) {
    auto [term, inserted] = terms_.try_emplace(std::move(word), postings_.size());
    if (inserted) postings_.emplace_back();
    postings_[term->second].push_back({static_cast<std::uint32_t>(id), frequency});
  }
  lengths_.push_back(length);
  total_length_ += length;
  ids_.emplace(name, id);
  names_.push_back(std::move(name));
  return id;
}

std::vector<double> Bm25Index::scores(std::string_view question) const {
  std::vector<double> score(names_.size(), 0.0);
  if (names_.empty()) return score;
  const double count = static_cast<double>(names_.size());
  const double average_length = std::max(total_length_ / count, 1e-9);

  std::unordered_set<std::uint32_t> seen;
  for (const std::string& word : split_words(question)) {
    const auto term = terms_.find(word);
    if (term == terms_.end() || !seen.insert(term->second).second) continue;
    const auto& postings = postings_[term->second];
    const double matching = static_cast<double>(postings.size());
    const double idf = std::log(1.0 + (count - matching + 0.5) / (matching + 0.5));
    for (const Posting& posting : postings) {
      const double frequency = posting.frequency;
      const double norm = kK1 * (1.0 - kB + kB * lengths_[posting.table] / average_length);
      score[posting.table] += idf * frequency * (kK1 + 1.0) / (frequency + norm);
    }
  }
  return score;
}

bool Bm25Index::before(std::size_t a, std::size_t b, const std::vector<double>& score) const {
  if (score[a] != score[b]) return score[a] > score[b];
  return names_[a] < names_[b];
}

std::vector<Bm25Index::Hit> Bm25Index::rank(std::string_view question, std::size_t k) const {
  return top(scores(question), k);
}

std::vector<Bm25Index::Hit> Bm25Index::top(const std::vector<double>& score, std::size_t k) const {
  std::vector<std::size_t> matched;
  for (std::size_t table = 0; table < score.size(); ++table) {
    if (score[table] > 0) matched.push_back(table);
  }
  const auto order = [&](std::size_t a, std::size_t b) { return before(a, b, score); };
  const std::size_t kept = std::min(k, matched.size());
  std::partial_sort(matched.begin(), matched.begin() + static_cast<std::ptrdiff_t>(kept),
                    matched.end(), order);
  std::vector<Hit> hits;
  hits.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) hits.push_back({matched[i], score[matched[i]]});
  return hits;
}

std::vector<std::size_t> Bm25Index::expand(const std::vector<std::size_t>& tables,
                                           std::size_t limit,
                                           const std::vector<double>* score) const {
  std::vector<std::size_t> result;
  std::unordered_set<std::size_t> listed;
  for (std::size_t table : tables) {
    if (result.size() >= limit) return result;
    name(table);  // refuses an unknown id
    if (listed.insert(table).second) result.push_back(table);
  }
  for (std::size_t table : tables) {
    const auto found = neighbours_.find(names_[table]);
    if (found == neighbours_.end()) continue;
    std::vector<std::size_t> next;
    for (const std::string& neighbour : found->second) {
      const auto id = ids_.find(neighbour);
      if (id != ids_.end() && listed.count(id->second) == 0) next.push_back(id->second);
    }
    // The set already yields name order; a question's scores come before it.
    if (score != nullptr) {
      std::stable_sort(next.begin(), next.end(),
                       [&](std::size_t a, std::size_t b) { return before(a, b, *score); });
    }
    for (std::size_t neighbour : next) {
      if (result.size() >= limit) return result;
      listed.insert(neighbour);
      result.push_back(neighbour);
    }
  }
  return result;
}

std::vector<std::size_t> Bm25Index::with_neighbours(const std::vector<std::size_t>& tables,
                                                    std::size_t limit) const {
  return expand(tables, limit, nullptr);
}

std::vector<std::size_t> Bm25Index::relevant_tables(std::string_view question, std::size_t k,
                                                    std::size_t limit) const {
  const std::vector<double> score = scores(question);
  std::vector<std::size_t> best;
  for (const Hit& hit : top(score, k)) best.push_back(hit.table);
  return expand(best, limit, &score);
}

const std::string& Bm25Index::name(std::size_t table) const {
  if (table >= names_.size()) throw std::out_of_range("no table with id " + std::to_string(table));
  return names_[table];
}

}  // namespace norviai::core
