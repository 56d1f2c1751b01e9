#include "core/sql_lexer.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norviai::core {
namespace {

// Where a dialect reads a quote or comment differently from another, each is read its own way: a
// lexer that ends a string or comment where the server does not would let text it believes quoted
// run as SQL. Anything it cannot read one way only is refused.

bool is_ascii_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class SqlLexer {
 public:
  SqlLexer(std::string_view text, Dialect dialect) : text_(text), dialect_(dialect) {}

  LexResult run() {
    // MySQL ends a -- comment at a NUL and other readers may stop there; refuse rather than guess.
    if (text_.find('\0') != std::string_view::npos) {
      result_.refusal = "The query contains a NUL character; send plain SQL text only.";
      return std::move(result_);
    }
    while (pos_ < text_.size() && result_.refusal.empty()) read_next();
    return std::move(result_);
  }

 private:
  bool is(Dialect dialect) const { return dialect_ == dialect; }
  unsigned char at(std::size_t i) const {
    return i < text_.size() ? static_cast<unsigned char>(text_[i]) : '\0';
  }

  void read_next() {
    const unsigned char c = at(pos_);
    if (c <= ' ') {
      ++pos_;
    } else if (starts_line_comment()) {
      skip_line_comment();
    } else if (c == '/' && at(pos_ + 1) == '*') {
      skip_block_comment();
    } else if (c == ';') {
      push(TokenKind::kSemicolon, pos_, pos_ + 1);
      ++pos_;
    } else if (c == '\'') {
      read_quoted(TokenKind::kString, pos_, 1, '\'', is(Dialect::kMysql));
    } else if (c == '"') {
      // MySQL's default SQL mode reads "..." as a string with backslash escapes.
      read_quoted(is(Dialect::kMysql) ? TokenKind::kString : TokenKind::kQuotedName, pos_, 1, '"',
                  is(Dialect::kMysql));
    } else if (c == '`' && (is(Dialect::kMysql) || is(Dialect::kSqlite))) {
      read_quoted(TokenKind::kQuotedName, pos_, 1, '`', false);
    } else if (c == '[' && (is(Dialect::kMssql) || is(Dialect::kSqlite))) {
      // SQLite ends a bracketed name at the first ']'; SQL Server doubles it as an escape.
      read_quoted(TokenKind::kQuotedName, pos_, 1, ']', false, is(Dialect::kMssql));
    } else if (c == '$' && is(Dialect::kPostgresql)) {
      read_postgres_dollar();
    } else if (is_digit(c) || (c == '.' && is_digit(at(pos_ + 1))) ||
               (c == '$' && is(Dialect::kMssql) && is_digit(at(pos_ + 1)))) {
      read_number();
    } else if (starts_word(c)) {
      read_word();
    } else {
      push(TokenKind::kPunctuation, pos_, pos_ + 1, std::string(1, static_cast<char>(c)));
      ++pos_;
    }
  }

  void push(TokenKind kind, std::size_t begin, std::size_t end, std::string value = {}) {
    result_.tokens.push_back(Token{kind, begin, end, std::move(value)});
  }

  void refuse(std::string reason) { result_.refusal = std::move(reason); }

  bool starts_line_comment() const {
    const unsigned char c = at(pos_);
    if (is(Dialect::kMysql)) {
      if (c == '#') return true;
      // MySQL needs a blank or control character after "--": "1--1" is arithmetic there.
      const unsigned char after = at(pos_ + 2);
      return c == '-' && at(pos_ + 1) == '-' &&
             (pos_ + 2 >= text_.size() || after <= ' ' || after == 0x7F);
    }
    return c == '-' && at(pos_ + 1) == '-';
  }

  void skip_line_comment() {
    for (; pos_ < text_.size(); ++pos_) {
      const char c = text_[pos_];
      if (c == '\n') return;
      if (c == '\r') {
        if (is(Dialect::kPostgresql)) return;  // PostgreSQL ends comments at either
        // How SQL Server reads a carriage return alone is not documented.
        if (is(Dialect::kMssql) && at(pos_ + 1) != '\n') {
          refuse(
              "The query has a carriage return without a line feed inside a -- comment; end "
              "lines with a line feed or remove the comment.");
          return;
        }
      }
    }
  }

  void skip_block_comment() {
    const std::size_t begin = pos_;
    if (is(Dialect::kMysql) &&
        (at(pos_ + 2) == '!' || (at(pos_ + 2) == 'M' && at(pos_ + 3) == '!'))) {
      refuse("MySQL runs the text of /*! ... */ comments as SQL; remove the comment \"" +
             excerpt(text_, begin) + "\" or write its content as plain SQL.");
      return;
    }
    const bool nests = is(Dialect::kPostgresql) || is(Dialect::kMssql);
    int depth = 1;
    pos_ += 2;
    while (pos_ < text_.size()) {
      if (nests && text_[pos_] == '/' && at(pos_ + 1) == '*') {
        ++depth;
        pos_ += 2;
      } else if (text_[pos_] == '*' && at(pos_ + 1) == '/') {
        pos_ += 2;
        if (--depth == 0) return;
      } else {
        ++pos_;
      }
    }
    refuse("The query has an unterminated /* comment (\"" + excerpt(text_, begin) +
           "\"); end it with */ or remove it.");
  }

  // Quoted text opened at `begin` by `open_len` bytes, up to `close`. A doubled `close` stands
  // for itself unless `doubling` is off; with `backslash`, a backslash escapes the next byte.
  void read_quoted(TokenKind kind, std::size_t begin, std::size_t open_len, char close,
                   bool backslash, bool doubling = true) {
    std::string name;
    pos_ = begin + open_len;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (backslash && c == '\\') {
        if (is(Dialect::kMysql) && at(pos_ + 1) == static_cast<unsigned char>(close)) {
          // Under NO_BACKSLASH_ESCAPES or ANSI_QUOTES the quote would end the text here instead.
          refuse(std::string("The query escapes a quote with a backslash (\\") + close + ") in \"" +
                 excerpt(text_, begin) + "\"; write the quote twice (" + close + close +
                 ") instead.");
          return;
        }
        pos_ += 2;
        continue;
      }
      if (c == close) {
        if (doubling && at(pos_ + 1) == static_cast<unsigned char>(close)) {
          name += close;
          pos_ += 2;
          continue;
        }
        ++pos_;
        push(kind, begin, pos_, kind == TokenKind::kQuotedName ? std::move(name) : std::string());
        return;
      }
      name += c;
      ++pos_;
    }
    refuse("The query has unterminated quoted text starting with \"" + excerpt(text_, begin) +
           "\"; close it with " + close + ".");
  }

  // At a '$' in PostgreSQL: a parameter ($1), a dollar-quoted string ($$...$$, $tag$...$tag$),
  // or a lone character the server will reject.
  void read_postgres_dollar() {
    const std::size_t begin = pos_;
    std::size_t end = pos_ + 1;
    if (is_digit(at(end))) {
      while (is_digit(at(end))) ++end;
      push(TokenKind::kWord, begin, end, std::string(text_.substr(begin, end - begin)));
      pos_ = end;
      return;
    }
    if (is_ascii_letter(at(end)) || at(end) == '_' || at(end) >= 0x80) {
      while (is_ascii_letter(at(end)) || is_digit(at(end)) || at(end) == '_' || at(end) >= 0x80) {
        ++end;
      }
    }
    if (at(end) != '$') {
      push(TokenKind::kPunctuation, begin, begin + 1, "$");
      ++pos_;
      return;
    }
    const std::string_view delimiter = text_.substr(begin, end + 1 - begin);
    const auto close = text_.find(delimiter, end + 1);
    if (close == std::string_view::npos) {
      refuse("The query has an unterminated dollar-quoted string starting with \"" +
             excerpt(text_, begin) + "\"; close it with " + std::string(delimiter) + ".");
      return;
    }
    pos_ = close + delimiter.size();
    push(TokenKind::kString, begin, pos_);
  }

  // Numbers end where their digits end, so "1DELETE" or "0x1UPDATE" yield the keyword as a word
  // of its own: SQL Server reads such text as a number followed by a new statement.
  void read_number() {
    const std::size_t begin = pos_;
    if (at(pos_) == '$') ++pos_;  // SQL Server money literal
    if (at(pos_) == '0' && (at(pos_ + 1) == 'x' || at(pos_ + 1) == 'X') &&
        is_hex_digit(at(pos_ + 2))) {
      pos_ += 2;
      while (is_hex_digit(at(pos_))) ++pos_;
    } else {
      while (is_digit(at(pos_))) ++pos_;
      if (at(pos_) == '.') {
        ++pos_;
        while (is_digit(at(pos_))) ++pos_;
      }
      const unsigned char sign = at(pos_ + 1);
      if ((at(pos_) == 'e' || at(pos_) == 'E') &&
          (is_digit(sign) || ((sign == '+' || sign == '-') && is_digit(at(pos_ + 2))))) {
        pos_ += 2;
        while (is_digit(at(pos_))) ++pos_;
      }
    }
    push(TokenKind::kWord, begin, pos_, std::string(text_.substr(begin, pos_ - begin)));
  }

  bool starts_word(unsigned char c) const {
    if (is_ascii_letter(c) || c == '_' || c >= 0x80) return true;
    if (c == '$') return true;  // PostgreSQL's '$' never gets here: it is read as a dollar quote
    // SQL Server variables and temporary tables: @total, @@ROWCOUNT, #recent.
    return (c == '@' || c == '#') && is(Dialect::kMssql);
  }

  bool continues_word(unsigned char c) const {
    return is_ascii_letter(c) || is_digit(c) || c == '_' || c == '$' || c >= 0x80 ||
           ((c == '@' || c == '#') && is(Dialect::kMssql));
  }

  void read_word() {
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && continues_word(at(pos_))) ++pos_;
    const std::string_view word = text_.substr(begin, pos_ - begin);
    if (is(Dialect::kPostgresql) && (word == "E" || word == "e") && at(pos_) == '\'') {
      read_quoted(TokenKind::kString, begin, 2, '\'', true);
      return;
    }
    if (is(Dialect::kPostgresql) && (word == "U" || word == "u") && at(pos_) == '&' &&
        at(pos_ + 1) == '"') {
      // Its escapes can spell any name, pg_read_file included.
      refuse("The query uses a U&\"...\" identifier with escapes; write the name plainly.");
      return;
    }
    push(TokenKind::kWord, begin, pos_, std::string(word));
  }

  std::string_view text_;
  Dialect dialect_;
  std::size_t pos_ = 0;
  LexResult result_;
};

}  // namespace

LexResult lex_sql(std::string_view text, Dialect dialect) { return SqlLexer(text, dialect).run(); }

std::string excerpt(std::string_view text, std::size_t begin) {
  constexpr std::size_t kMax = 30;
  if (text.size() - begin <= kMax) return std::string(text.substr(begin));
  std::size_t end = begin + kMax;
  while (end > begin && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(begin, end - begin)) + "...";
}

}  // namespace norviai::core
