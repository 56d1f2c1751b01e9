// Tokenizer of the read-only guard: splits SQL text into words, strings, quoted names,
// punctuation and ';', reading comments and quotes the way the given dialect does, and refuses
// text it cannot read one way only. Pure functions: thread-safe, no Python, no GIL needed.
// Throws only std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/sql_dialect.hpp"

namespace norviai::core {

enum class TokenKind { kWord, kString, kQuotedName, kPunctuation, kSemicolon };

struct Token {
  TokenKind kind;
  std::size_t begin;  // byte offsets into the checked text
  std::size_t end;
  // kWord: as written (keyword, name or number); kQuotedName: the name with its quote escapes
  // undone; kPunctuation: the character; empty otherwise.
  std::string value;
};

struct LexResult {
  std::vector<Token> tokens;
  std::string refusal;  // non-empty when the text cannot be read unambiguously
};

LexResult lex_sql(std::string_view text, Dialect dialect);

// At most 30 bytes of `text` from `begin`, cut on a UTF-8 character boundary, for quoting back.
std::string excerpt(std::string_view text, std::size_t begin);

}  // namespace norviai::core
