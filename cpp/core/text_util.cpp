#include "core/text_util.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace norviai::core {
namespace {

constexpr std::string_view kBlanks = " \t\n\r\f\v";

std::string_view trim_view(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// What may follow an opening fence on its line: "sql", "postgresql", "c++", "objective-c", or
// nothing at all.
bool is_language_tag(std::string_view word) {
  return std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '+' || c == '-' || c == '#' || c == '.';
  });
}

}  // namespace

std::string ascii_upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string trim(std::string_view text) { return std::string(trim_view(text)); }

std::optional<std::string> single_fenced_block(std::string_view text) {
  // Fence markers: runs of three or more backticks, as [begin, end) offsets.
  std::vector<std::pair<std::size_t, std::size_t>> fences;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '`') {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && text[end] == '`') ++end;
    if (end - i >= 3) fences.emplace_back(i, end);
    i = end;
  }
  // One marker is an unclosed fence, three or more mean several blocks (or one plus a stray):
  // guessing which one holds the answer would be worse than leaving the text alone.
  if (fences.size() != 2) return std::nullopt;

  std::string_view inner = text.substr(fences[0].second, fences[1].first - fences[0].second);
  // A one-line block ("```SELECT 1```") has no tag line; otherwise the rest of the opening line
  // is dropped only when it reads as a tag, so "```SELECT *\nFROM t```" keeps its first line.
  const auto newline = inner.find('\n');
  if (newline != std::string_view::npos && is_language_tag(trim_view(inner.substr(0, newline)))) {
    inner.remove_prefix(newline + 1);
  }
  return trim(inner);
}

}  // namespace norviai::core
