#include "core/words.hpp"

#include <cstddef>
#include <utility>

namespace norviai::core {
namespace {

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(char c) { return (c >= 'a' && c <= 'z') || static_cast<unsigned char>(c) >= 0x80; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_char(char c) { return is_upper(c) || is_lower(c) || is_digit(c); }

bool ends_with(const std::string& word, std::string_view suffix) {
  return word.size() >= suffix.size() &&
         word.compare(word.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A word boundary falls between text[i - 1] and text[i], both word characters.
bool boundary(std::string_view text, std::size_t i) {
  const char before = text[i - 1];
  const char here = text[i];
  if (is_digit(before) != is_digit(here)) return true;
  if (is_lower(before) && is_upper(here)) return true;  // orderItems
  // The last capital of a run starts the next word when a lower-case letter follows: HTTPServer.
  return is_upper(before) && is_upper(here) && i + 1 < text.size() && is_lower(text[i + 1]) &&
         static_cast<unsigned char>(text[i + 1]) < 0x80;
}

}  // namespace

std::string fold_word(std::string word) {
  // Short words are abbreviations more often than plurals: "bus", "gas", "qty", "cs".
  if (word.size() <= 3 || is_digit(word.back())) return word;
  if (word.back() == 's' && !ends_with(word, "ss") && !ends_with(word, "us") &&
      !ends_with(word, "is")) {
    word.pop_back();
  }
  // Plural and singular then differ at most by a final "e" ("boxe", "statuse", "house") or by
  // "ie" against "y" ("categorie", "category"): one form for both, whatever English makes of it.
  if (word.size() >= 4 && word.back() == 'e') word.pop_back();
  if (word.size() >= 4 && word.back() == 'y') word.back() = 'i';
  return word;
}

std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::string current;
  auto flush = [&] {
    if (!current.empty()) words.push_back(fold_word(std::exchange(current, {})));
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!is_word_char(c)) {
      flush();
      continue;
    }
    if (!current.empty() && boundary(text, i)) flush();
    current.push_back(is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c);
  }
  flush();
  return words;
}

}  // namespace norviai::core
