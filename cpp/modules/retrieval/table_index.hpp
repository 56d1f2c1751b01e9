// The table index of one database wrapper and the fitting of prompts to the token budget: the
// steps that list tables call these (through norviai._retrieval) when a prompt would not fit.
// A TableIndex owns its BM25 index and token caches and is kept on the wrapper it was built for.
// Not thread-safe; expects the GIL. Database, tiktoken and callback errors pass through.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bm25.hpp"

namespace norviai::retrieval {

namespace py = pybind11;

class TableIndex {
 public:
  // `entries`: (name, columns, comments, referred tables) per table.
  explicit TableIndex(py::handle entries);

  // Table names for the question, most related first: the best-ranked tables and their
  // foreign-key neighbours, then the other tables sharing a word with the question.
  std::vector<std::string> related(const std::string& question) const;

  // Whether the texts of these tables surely exceed `budget` tokens: their names and column
  // names alone, which every schema text holds, already do.
  bool surely_over(const std::vector<std::string>& names, std::size_t budget);

  // Tokens of one table's schema text as the wrapper prints it, counted once.
  std::size_t schema_tokens(py::handle db, const std::string& name);

  std::size_t size() const { return bm25_.size(); }

 private:
  core::Bm25Index bm25_;
  std::unordered_map<std::string, std::string> words_;  // name -> its name and column names
  std::unordered_map<std::string, std::size_t> floor_tokens_;
  std::unordered_map<std::string, std::size_t> schema_tokens_;
};

// The index of `db`, built on first use from its catalogue (a CustomSQLDatabase) or its table
// names (any other SQLDatabase), and built again once the wrapper has dropped its catalogue.
TableIndex& table_index(py::handle db);

// The line a cut prompt carries.
std::string cut_note(std::size_t shown);

// A prompt over the tables `names` (in their order) that fits the token budget. `build(names,
// note)` returns (prompt, tokens) for a list of table names and the note line ("" for none).
// All names when that fits; else the most related to `question` that fit, counting
// `name_copies` further mentions of each name besides its schema, with the note. Returns
// (prompt, names shown).
py::tuple fit_tables(py::handle db, const std::string& question,
                     const std::vector<std::string>& names, py::handle build,
                     std::size_t name_copies, bool with_schemas = true);

// The picked names that are tables of `table_names`, matched case-insensitively with quotes and
// blanks stripped, in the tables' own spelling and without repeats; and the rest. (kept, dropped)
py::tuple known_tables(py::handle picked, py::handle table_names);

}  // namespace norviai::retrieval
