#include "core/sql_guard.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/sql_functions.hpp"
#include "core/sql_lexer.hpp"
#include "core/text_util.hpp"

namespace norviai::core {
namespace {

// One statement, an allowed first word, and no forbidden word anywhere in it.

constexpr unsigned bit(Dialect dialect) { return 1u << static_cast<unsigned>(dialect); }
constexpr unsigned kPg = bit(Dialect::kPostgresql);
constexpr unsigned kMy = bit(Dialect::kMysql);
constexpr unsigned kLite = bit(Dialect::kSqlite);
constexpr unsigned kMs = bit(Dialect::kMssql);
constexpr unsigned kAll = kPg | kMy | kLite | kMs;

struct Keyword {
  std::string_view name;  // upper case
  Effect effect;
  unsigned dialects;
};

// Keywords, matched against unquoted words only: a quoted "delete" is a name.
constexpr std::array kForbiddenKeywords{
    Keyword{"INSERT", Effect::kChangesData, kAll},
    Keyword{"UPDATE", Effect::kChangesData, kAll},
    Keyword{"DELETE", Effect::kChangesData, kAll},
    Keyword{"MERGE", Effect::kChangesData, kAll},
    Keyword{"TRUNCATE", Effect::kChangesData, kAll},
    Keyword{"DROP", Effect::kChangesData, kAll},
    Keyword{"ALTER", Effect::kChangesData, kAll},
    Keyword{"CREATE", Effect::kChangesData, kAll},
    Keyword{"GRANT", Effect::kChangesData, kAll},
    Keyword{"REVOKE", Effect::kChangesData, kAll},
    Keyword{"ATTACH", Effect::kOutside, kLite},
    Keyword{"DETACH", Effect::kOutside, kLite},
    Keyword{"BULK", Effect::kFiles, kMs},
    // SQL Server needs no ';' between statements, so these begin a second one mid-text.
    Keyword{"EXEC", Effect::kStartsStatement, kMs},
    Keyword{"EXECUTE", Effect::kStartsStatement, kMs},
    Keyword{"DECLARE", Effect::kStartsStatement, kMs},
    Keyword{"SET", Effect::kStartsStatement, kMs},
    Keyword{"BEGIN", Effect::kStartsStatement, kMs},
    Keyword{"COMMIT", Effect::kStartsStatement, kMs},
    Keyword{"ROLLBACK", Effect::kStartsStatement, kMs},
    Keyword{"SAVE", Effect::kStartsStatement, kMs},
    Keyword{"USE", Effect::kStartsStatement, kMs},
    Keyword{"SHUTDOWN", Effect::kStartsStatement, kMs},
    Keyword{"KILL", Effect::kStartsStatement, kMs},
    Keyword{"BACKUP", Effect::kStartsStatement, kMs},
    Keyword{"RESTORE", Effect::kStartsStatement, kMs},
    Keyword{"DBCC", Effect::kStartsStatement, kMs},
    Keyword{"RECONFIGURE", Effect::kStartsStatement, kMs},
    Keyword{"WAITFOR", Effect::kStartsStatement, kMs},
    Keyword{"DENY", Effect::kStartsStatement, kMs},
    Keyword{"REVERT", Effect::kStartsStatement, kMs},
    Keyword{"SETUSER", Effect::kStartsStatement, kMs},
    Keyword{"CHECKPOINT", Effect::kStartsStatement, kMs},
    Keyword{"WRITETEXT", Effect::kStartsStatement, kMs},
    Keyword{"UPDATETEXT", Effect::kStartsStatement, kMs},
    Keyword{"OPEN", Effect::kStartsStatement, kMs},
    Keyword{"CLOSE", Effect::kStartsStatement, kMs},
    Keyword{"DEALLOCATE", Effect::kStartsStatement, kMs},
    Keyword{"PRINT", Effect::kStartsStatement, kMs},
    Keyword{"RAISERROR", Effect::kStartsStatement, kMs},
    Keyword{"IF", Effect::kStartsStatement, kMs},
    Keyword{"WHILE", Effect::kStartsStatement, kMs},
    Keyword{"GOTO", Effect::kStartsStatement, kMs},
    Keyword{"RETURN", Effect::kStartsStatement, kMs},
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

// The refused function or keyword `upper` stands for, as a refusal; nothing when it is neither.
std::optional<std::string> forbidden_word(std::string_view upper, std::string_view shown,
                                          Dialect dialect, bool functions_only) {
  if (const ForbiddenName* entry = find_forbidden(forbidden_functions(dialect), upper)) {
    return refusal_for(shown, entry->effect);
  }
  if (functions_only) return std::nullopt;
  for (const Keyword& keyword : kForbiddenKeywords) {
    if ((keyword.dialects & bit(dialect)) != 0 && upper == keyword.name) {
      return refusal_for(shown, keyword.effect);
    }
  }
  return std::nullopt;
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
  StatementChecker(const std::vector<Token>& tokens, Dialect dialect)
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
        if (auto refusal = forbidden_word(upper_[i], "\"" + token.value + "\"", dialect_, true)) {
          return refusal;
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
        (first == "DESC" && dialect_ == Dialect::kMysql)) {
      return std::nullopt;
    }
    return "Only one read-only query (" + allowed_first_words_text() +
           ") may be run; the text starts with " + shown + ".";
  }

  // The upper-cased word at `i`, or "" when that token is not a word.
  const std::string& word_at(std::size_t i) const {
    static const std::string kNone;
    if (i >= tokens_.size() || tokens_[i].kind != TokenKind::kWord) return kNone;
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
    if (word == "CREATE" && previous == "SHOW" && dialect_ == Dialect::kMysql) {
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
        if (auto refusal = forbidden_word(
                part, std::string_view(written).substr(begin, end - begin), dialect_, false)) {
          return refusal;
        }
      }
      while (end < word.size() && static_cast<unsigned char>(word[end]) >= 0x80) ++end;
      begin = end;
    }
    return std::nullopt;
  }

  const std::vector<Token>& tokens_;
  std::vector<std::string> upper_;  // words and quoted names upper-cased, once
  Dialect dialect_;
  bool is_explain_ = false;
};

GuardVerdict refused(std::string reason) { return GuardVerdict{false, std::move(reason), {}}; }

}  // namespace

GuardVerdict check_read_only(std::string_view sql, Dialect dialect) {
  LexResult lexed = lex_sql(sql, dialect);
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
