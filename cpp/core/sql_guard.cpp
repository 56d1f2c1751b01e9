#include "core/sql_guard.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/text_util.hpp"

namespace norviai::core {
namespace {

// ---------------------------------------------------------------------------------------------
// Lexer. Where a dialect reads a quote or comment differently from another, each is read its own
// way: a lexer that ends a string or comment where the server does not would let text it believes
// quoted run as SQL. Anything it cannot read one way only is refused.
// ---------------------------------------------------------------------------------------------

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

bool is_ascii_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// At most 30 bytes of `text` from `begin`, cut on a UTF-8 character boundary, for quoting back.
std::string excerpt(std::string_view text, std::size_t begin) {
  constexpr std::size_t kMax = 30;
  if (text.size() - begin <= kMax) return std::string(text.substr(begin));
  std::size_t end = begin + kMax;
  while (end > begin && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(begin, end - begin)) + "...";
}

class SqlLexer {
 public:
  SqlLexer(std::string_view text, SqlDialect dialect) : text_(text), dialect_(dialect) {}

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
  bool is(SqlDialect dialect) const { return dialect_ == dialect; }
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
      read_quoted(TokenKind::kString, pos_, 1, '\'', is(SqlDialect::kMySql));
    } else if (c == '"') {
      // MySQL's default SQL mode reads "..." as a string with backslash escapes.
      read_quoted(is(SqlDialect::kMySql) ? TokenKind::kString : TokenKind::kQuotedName, pos_, 1,
                  '"', is(SqlDialect::kMySql));
    } else if (c == '`' && (is(SqlDialect::kMySql) || is(SqlDialect::kSqlite))) {
      read_quoted(TokenKind::kQuotedName, pos_, 1, '`', false);
    } else if (c == '[' && (is(SqlDialect::kMsSql) || is(SqlDialect::kSqlite))) {
      // SQLite ends a bracketed name at the first ']'; SQL Server doubles it as an escape.
      read_quoted(TokenKind::kQuotedName, pos_, 1, ']', false, is(SqlDialect::kMsSql));
    } else if (c == '$' && is(SqlDialect::kPostgreSql)) {
      read_postgres_dollar();
    } else if (is_digit(c) || (c == '.' && is_digit(at(pos_ + 1))) ||
               (c == '$' && is(SqlDialect::kMsSql) && is_digit(at(pos_ + 1)))) {
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
    if (is(SqlDialect::kMySql)) {
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
        if (is(SqlDialect::kPostgreSql)) return;  // PostgreSQL ends comments at either
        // How SQL Server reads a carriage return alone is not documented.
        if (is(SqlDialect::kMsSql) && at(pos_ + 1) != '\n') {
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
    if (is(SqlDialect::kMySql) &&
        (at(pos_ + 2) == '!' || (at(pos_ + 2) == 'M' && at(pos_ + 3) == '!'))) {
      refuse("MySQL runs the text of /*! ... */ comments as SQL; remove the comment \"" +
             excerpt(text_, begin) + "\" or write its content as plain SQL.");
      return;
    }
    const bool nests = is(SqlDialect::kPostgreSql) || is(SqlDialect::kMsSql);
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
        if (is(SqlDialect::kMySql) && at(pos_ + 1) == static_cast<unsigned char>(close)) {
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
    return (c == '@' || c == '#') && is(SqlDialect::kMsSql);
  }

  bool continues_word(unsigned char c) const {
    return is_ascii_letter(c) || is_digit(c) || c == '_' || c == '$' || c >= 0x80 ||
           ((c == '@' || c == '#') && is(SqlDialect::kMsSql));
  }

  void read_word() {
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && continues_word(at(pos_))) ++pos_;
    const std::string_view word = text_.substr(begin, pos_ - begin);
    if (is(SqlDialect::kPostgreSql) && (word == "E" || word == "e") && at(pos_) == '\'') {
      read_quoted(TokenKind::kString, begin, 2, '\'', true);
      return;
    }
    if (is(SqlDialect::kPostgreSql) && (word == "U" || word == "u") && at(pos_) == '&' &&
        at(pos_ + 1) == '"') {
      // Its escapes can spell any name, pg_read_file included.
      refuse("The query uses a U&\"...\" identifier with escapes; write the name plainly.");
      return;
    }
    push(TokenKind::kWord, begin, pos_, std::string(word));
  }

  std::string_view text_;
  SqlDialect dialect_;
  std::size_t pos_ = 0;
  LexResult result_;
};

// ---------------------------------------------------------------------------------------------
// Checker: one statement, an allowed first word, and no forbidden word anywhere in it.
// ---------------------------------------------------------------------------------------------

constexpr unsigned bit(SqlDialect dialect) { return 1u << static_cast<unsigned>(dialect); }
constexpr unsigned kPg = bit(SqlDialect::kPostgreSql);
constexpr unsigned kMy = bit(SqlDialect::kMySql);
constexpr unsigned kLite = bit(SqlDialect::kSqlite);
constexpr unsigned kMs = bit(SqlDialect::kMsSql);
constexpr unsigned kAll = kPg | kMy | kLite | kMs;

enum class Effect { kChangesData, kFiles, kServerState, kOutside, kLoadsCode, kStartsStatement };

struct Forbidden {
  std::string_view name;  // upper case
  Effect effect;
  unsigned dialects;
  bool prefix = false;  // a family of functions sharing the prefix
};

// Keywords, matched against unquoted words only: a quoted "delete" is a name.
constexpr std::array kForbiddenKeywords{
    Forbidden{"INSERT", Effect::kChangesData, kAll},
    Forbidden{"UPDATE", Effect::kChangesData, kAll},
    Forbidden{"DELETE", Effect::kChangesData, kAll},
    Forbidden{"MERGE", Effect::kChangesData, kAll},
    Forbidden{"TRUNCATE", Effect::kChangesData, kAll},
    Forbidden{"DROP", Effect::kChangesData, kAll},
    Forbidden{"ALTER", Effect::kChangesData, kAll},
    Forbidden{"CREATE", Effect::kChangesData, kAll},
    Forbidden{"GRANT", Effect::kChangesData, kAll},
    Forbidden{"REVOKE", Effect::kChangesData, kAll},
    Forbidden{"COPY", Effect::kFiles, kAll},
    Forbidden{"ATTACH", Effect::kOutside, kLite},
    Forbidden{"DETACH", Effect::kOutside, kLite},
    Forbidden{"BULK", Effect::kFiles, kMs},
    // SQL Server needs no ';' between statements, so these begin a second one mid-text.
    Forbidden{"EXEC", Effect::kStartsStatement, kMs},
    Forbidden{"EXECUTE", Effect::kStartsStatement, kMs},
    Forbidden{"DECLARE", Effect::kStartsStatement, kMs},
    Forbidden{"SET", Effect::kStartsStatement, kMs},
    Forbidden{"BEGIN", Effect::kStartsStatement, kMs},
    Forbidden{"COMMIT", Effect::kStartsStatement, kMs},
    Forbidden{"ROLLBACK", Effect::kStartsStatement, kMs},
    Forbidden{"SAVE", Effect::kStartsStatement, kMs},
    Forbidden{"USE", Effect::kStartsStatement, kMs},
    Forbidden{"SHUTDOWN", Effect::kStartsStatement, kMs},
    Forbidden{"KILL", Effect::kStartsStatement, kMs},
    Forbidden{"BACKUP", Effect::kStartsStatement, kMs},
    Forbidden{"RESTORE", Effect::kStartsStatement, kMs},
    Forbidden{"DBCC", Effect::kStartsStatement, kMs},
    Forbidden{"RECONFIGURE", Effect::kStartsStatement, kMs},
    Forbidden{"WAITFOR", Effect::kStartsStatement, kMs},
    Forbidden{"DENY", Effect::kStartsStatement, kMs},
    Forbidden{"REVERT", Effect::kStartsStatement, kMs},
    Forbidden{"SETUSER", Effect::kStartsStatement, kMs},
    Forbidden{"CHECKPOINT", Effect::kStartsStatement, kMs},
    Forbidden{"WRITETEXT", Effect::kStartsStatement, kMs},
    Forbidden{"UPDATETEXT", Effect::kStartsStatement, kMs},
    Forbidden{"OPEN", Effect::kStartsStatement, kMs},
    Forbidden{"CLOSE", Effect::kStartsStatement, kMs},
    Forbidden{"DEALLOCATE", Effect::kStartsStatement, kMs},
    Forbidden{"PRINT", Effect::kStartsStatement, kMs},
    Forbidden{"RAISERROR", Effect::kStartsStatement, kMs},
    Forbidden{"IF", Effect::kStartsStatement, kMs},
    Forbidden{"WHILE", Effect::kStartsStatement, kMs},
    Forbidden{"GOTO", Effect::kStartsStatement, kMs},
    Forbidden{"RETURN", Effect::kStartsStatement, kMs},
};

// Functions, matched against quoted names too, since "pg_read_file"(...) calls the function.
constexpr std::array kForbiddenFunctions{
    Forbidden{"LOAD_FILE", Effect::kFiles, kAll},
    Forbidden{"PG_READ_", Effect::kFiles, kPg, true},
    Forbidden{"PG_LS_", Effect::kFiles, kPg, true},
    Forbidden{"PG_STAT_FILE", Effect::kFiles, kPg},
    Forbidden{"PG_FILE_WRITE", Effect::kFiles, kPg},
    Forbidden{"PG_FILE_RENAME", Effect::kFiles, kPg},
    Forbidden{"PG_FILE_UNLINK", Effect::kFiles, kPg},
    Forbidden{"PG_FILE_SYNC", Effect::kFiles, kPg},
    Forbidden{"PG_LOGDIR_LS", Effect::kFiles, kPg},
    Forbidden{"LO_IMPORT", Effect::kFiles, kPg},
    Forbidden{"LO_EXPORT", Effect::kFiles, kPg},
    Forbidden{"LO_GET", Effect::kServerState, kPg},
    Forbidden{"LO_PUT", Effect::kServerState, kPg},
    Forbidden{"LO_FROM_BYTEA", Effect::kServerState, kPg},
    Forbidden{"LO_CREATE", Effect::kServerState, kPg},
    Forbidden{"LO_CREAT", Effect::kServerState, kPg},
    Forbidden{"LO_OPEN", Effect::kServerState, kPg},
    Forbidden{"LO_UNLINK", Effect::kServerState, kPg},
    Forbidden{"LO_TRUNCATE", Effect::kServerState, kPg, true},
    Forbidden{"LOREAD", Effect::kServerState, kPg},
    Forbidden{"LOWRITE", Effect::kServerState, kPg},
    Forbidden{"SET_CONFIG", Effect::kServerState, kPg},
    Forbidden{"PG_TERMINATE_BACKEND", Effect::kServerState, kPg},
    Forbidden{"PG_CANCEL_BACKEND", Effect::kServerState, kPg},
    Forbidden{"PG_RELOAD_CONF", Effect::kServerState, kPg},
    Forbidden{"PG_ROTATE_LOGFILE", Effect::kServerState, kPg},
    Forbidden{"PG_PROMOTE", Effect::kServerState, kPg},
    Forbidden{"PG_SWITCH_WAL", Effect::kServerState, kPg},
    Forbidden{"PG_CREATE_", Effect::kServerState, kPg, true},
    Forbidden{"PG_DROP_", Effect::kServerState, kPg, true},
    Forbidden{"PG_LOGICAL_", Effect::kServerState, kPg, true},
    Forbidden{"PG_REPLICATION_ORIGIN_", Effect::kServerState, kPg, true},
    Forbidden{"DBLINK", Effect::kOutside, kPg, true},
    Forbidden{"QUERY_TO_XML", Effect::kOutside, kPg, true},
    Forbidden{"LOAD_EXTENSION", Effect::kLoadsCode, kLite},
    Forbidden{"FTS3_TOKENIZER", Effect::kLoadsCode, kLite},
    Forbidden{"READFILE", Effect::kFiles, kLite},
    Forbidden{"WRITEFILE", Effect::kFiles, kLite},
    Forbidden{"FSDIR", Effect::kFiles, kLite},
    Forbidden{"OPENROWSET", Effect::kOutside, kMs},
    Forbidden{"OPENDATASOURCE", Effect::kOutside, kMs},
    Forbidden{"OPENQUERY", Effect::kOutside, kMs},
    Forbidden{"XP_CMDSHELL", Effect::kServerState, kMs},
    Forbidden{"XP_DIRTREE", Effect::kFiles, kMs},
    Forbidden{"XP_FILEEXIST", Effect::kFiles, kMs},
    Forbidden{"XP_SUBDIRS", Effect::kFiles, kMs},
    Forbidden{"XP_REGREAD", Effect::kServerState, kMs},
    Forbidden{"XP_REGWRITE", Effect::kServerState, kMs},
};

// The words a query may start with (and DESC on MySQL, DESCRIBE's short form).
constexpr std::array<std::string_view, 7> kAllowedFirstWords = {
    "SELECT", "WITH", "VALUES", "TABLE", "SHOW", "DESCRIBE", "EXPLAIN"};

// "SELECT, WITH, ... or EXPLAIN", for the refusal that names them.
std::string allowed_first_words_text() {
  std::string text;
  for (std::size_t i = 0; i < kAllowedFirstWords.size(); ++i) {
    if (i > 0) text += i + 1 == kAllowedFirstWords.size() ? " or " : ", ";
    text += kAllowedFirstWords[i];
  }
  return text;
}

std::string because(std::string_view shown, Effect effect) {
  std::string_view what;
  std::string_view instead;
  switch (effect) {
    case Effect::kChangesData:
      what = "changes data or the schema (not allowed inside WITH either)";
      instead = "write a query that only reads, such as a SELECT";
      break;
    case Effect::kFiles:
      what = "reads or writes files on the database server";
      instead = "query the database's tables instead";
      break;
    case Effect::kServerState:
      what = "changes server state, settings or other sessions";
      instead = "leave it out and only read data";
      break;
    case Effect::kOutside:
      what = "reaches outside this database (another server, database file or SQL in a string)";
      instead = "query this database's tables directly";
      break;
    case Effect::kLoadsCode:
      what = "loads code into the database";
      instead = "use built-in functions only";
      break;
    case Effect::kStartsStatement:
      what = "starts another statement in SQL Server";
      instead = "send one SELECT query only";
      break;
  }
  return "The query contains " + std::string(shown) + ", which " + std::string(what) + "; " +
         std::string(instead) + ".";
}

const Forbidden* find_forbidden(std::string_view upper, SqlDialect dialect, bool functions_only) {
  const auto matches = [&](const Forbidden& entry) {
    if ((entry.dialects & bit(dialect)) == 0) return false;
    return entry.prefix ? upper.starts_with(entry.name) : upper == entry.name;
  };
  for (const Forbidden& entry : kForbiddenFunctions) {
    if (matches(entry)) return &entry;
  }
  if (functions_only) return nullptr;
  for (const Forbidden& entry : kForbiddenKeywords) {
    if (matches(entry)) return &entry;
  }
  return nullptr;
}

// How a token is named in a reason.
std::string describe(const Token& token) {
  switch (token.kind) {
    case TokenKind::kWord:
      return token.value.size() <= 40 ? token.value : excerpt(token.value, 0);
    case TokenKind::kString:
      return "a quoted string";
    case TokenKind::kQuotedName:
      return "a quoted name";
    case TokenKind::kPunctuation:
      return "'" + token.value + "'";
    case TokenKind::kSemicolon:
      return "';'";
  }
  return {};
}

class StatementChecker {
 public:
  StatementChecker(const std::vector<Token>& tokens, SqlDialect dialect)
      : tokens_(tokens), dialect_(dialect) {
    upper_.reserve(tokens.size());
    for (const Token& token : tokens) {
      const bool named = token.kind == TokenKind::kWord || token.kind == TokenKind::kQuotedName;
      upper_.push_back(named ? ascii_upper(token.value) : std::string());
    }
  }

  // The refusal reason, or nothing when the statement may run.
  std::optional<std::string> check() {
    if (auto refusal = check_first_word()) return refusal;
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
      const Token& token = tokens_[i];
      if (token.kind == TokenKind::kQuotedName) {
        if (const Forbidden* entry = find_forbidden(upper_[i], dialect_, true)) {
          return because("\"" + token.value + "\"", entry->effect);
        }
      } else if (token.kind == TokenKind::kWord) {
        if (auto refusal = check_word(i)) return refusal;
      }
    }
    return std::nullopt;
  }

 private:
  std::optional<std::string> check_first_word() {
    std::size_t i = 0;
    while (i < tokens_.size() && tokens_[i].kind == TokenKind::kPunctuation &&
           tokens_[i].value == "(") {
      ++i;
    }
    const std::string shown = i < tokens_.size() ? describe(tokens_[i]) : "'('";
    const std::string& first = word_at(i);
    is_explain_ = first == "EXPLAIN" || first == "DESCRIBE" || first == "DESC";
    if (std::find(kAllowedFirstWords.begin(), kAllowedFirstWords.end(), first) !=
            kAllowedFirstWords.end() ||
        (first == "DESC" && dialect_ == SqlDialect::kMySql)) {
      return std::nullopt;
    }
    return "Only one read-only query (" + allowed_first_words_text() +
           ") may be run; the text starts with " + shown + ".";
  }

  // The upper-cased word at `i`, or "" when that token is not a word.
  const std::string& word_at(std::size_t i) const {
    static const std::string none;
    if (i >= tokens_.size() || tokens_[i].kind != TokenKind::kWord) return none;
    return upper_[i];
  }

  std::optional<std::string> check_word(std::size_t i) {
    const std::string& written = tokens_[i].value;
    const std::string& word = upper_[i];
    const std::string& previous = word_at(i - 1);  // i - 1 wraps past the end when i is 0
    const std::string& next = word_at(i + 1);

    if (is_explain_ && (word == "ANALYZE" || word == "ANALYSE")) {
      return "EXPLAIN " + written + " runs the statement it explains; write EXPLAIN without " +
             written + " (or just the query).";
    }
    if (word == "INTO") {
      if (next == "OUTFILE" || next == "DUMPFILE") {
        return "The query contains INTO " + tokens_[i + 1].value +
               ", which writes a file on the database server; return the rows instead.";
      }
      return "The query contains INTO, which stores the result in a new table or in variables "
             "(SELECT ... INTO); remove the INTO clause and return the rows.";
    }
    if (word == "LOAD" && (next == "DATA" || next == "XML")) {
      return "The query contains LOAD " + tokens_[i + 1].value +
             ", which reads a file into a table; only read-only queries may be run.";
    }
    if (word == "UPDATE" && (previous == "FOR" || previous == "KEY")) {
      return "The query contains FOR UPDATE, which locks the rows it reads; remove the locking "
             "clause.";
    }
    if (word == "CREATE" && previous == "SHOW" && dialect_ == SqlDialect::kMySql) {
      return std::nullopt;  // SHOW CREATE TABLE
    }
    // OPTION (USE HINT(...)); anywhere else SQL Server's USE switches the database.
    if (word == "USE" && (next == "HINT" || next == "PLAN") && i > 0 &&
        tokens_[i - 1].kind == TokenKind::kPunctuation &&
        (tokens_[i - 1].value == "(" || tokens_[i - 1].value == ",")) {
      return std::nullopt;
    }

    // A keyword glued to non-ASCII text counts: a server may read that text as a blank.
    std::size_t begin = 0;
    while (begin < word.size()) {
      std::size_t end = begin;
      while (end < word.size() && static_cast<unsigned char>(word[end]) < 0x80) ++end;
      if (end > begin) {
        const std::string_view part = std::string_view(word).substr(begin, end - begin);
        if (const Forbidden* entry = find_forbidden(part, dialect_, false)) {
          return because(std::string_view(written).substr(begin, end - begin), entry->effect);
        }
      }
      while (end < word.size() && static_cast<unsigned char>(word[end]) >= 0x80) ++end;
      begin = end;
    }
    return std::nullopt;
  }

  const std::vector<Token>& tokens_;
  std::vector<std::string> upper_;  // words and quoted names upper-cased, once
  SqlDialect dialect_;
  bool is_explain_ = false;
};

GuardVerdict refused(std::string reason) { return GuardVerdict{false, std::move(reason), {}}; }

}  // namespace

SqlDialect dialect_from_name(std::string_view name) {
  const std::string lower = ascii_lower(name);
  if (lower == "postgresql" || lower == "postgres") return SqlDialect::kPostgreSql;
  if (lower == "mysql" || lower == "mariadb") return SqlDialect::kMySql;
  if (lower == "sqlite") return SqlDialect::kSqlite;
  if (lower == "mssql") return SqlDialect::kMsSql;
  throw std::invalid_argument("unknown SQL dialect '" + std::string(name) +
                              "' (expected postgresql, mysql, mariadb, sqlite or mssql)");
}

GuardVerdict check_read_only(std::string_view sql, SqlDialect dialect) {
  LexResult lexed = SqlLexer(sql, dialect).run();
  if (!lexed.refusal.empty()) return refused(std::move(lexed.refusal));
  std::vector<Token>& tokens = lexed.tokens;

  // One statement, optionally followed by one ';'.
  const auto is_semicolon = [](const Token& token) { return token.kind == TokenKind::kSemicolon; };
  const auto statement = std::find_if_not(tokens.begin(), tokens.end(), is_semicolon);
  if (statement == tokens.end()) return refused("The query is empty.");
  constexpr const char* kExtraSemicolon =
      "The text has an extra ';'; send one query, ending with at most one ';'.";
  if (statement != tokens.begin()) return refused(kExtraSemicolon);
  const auto end = std::find_if(statement, tokens.end(), is_semicolon);
  if (const auto second = std::find_if_not(end, tokens.end(), is_semicolon);
      second != tokens.end()) {
    return refused(
        "Only one statement may be run, but the text holds more than one (the second starts "
        "with " +
        describe(*second) + "); send a single read-only query.");
  }
  if (end != tokens.end() && std::next(end) != tokens.end()) return refused(kExtraSemicolon);
  tokens.erase(end, tokens.end());

  if (auto refusal = StatementChecker(tokens, dialect).check()) return refused(*refusal);
  const std::size_t begin = tokens.front().begin;
  return GuardVerdict{true, {}, std::string(sql.substr(begin, tokens.back().end - begin))};
}

}  // namespace norviai::core
