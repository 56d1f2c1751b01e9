// norviai._retrieval: the table index and the token counting behind prompt budgets, for the
// steps that build prompts (they reach it by import) and for tests. Expects the GIL like every
// module.
#include <pybind11/stl.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/bm25.hpp"
#include "core/words.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/common/token_count.hpp"
#include "modules/retrieval/table_index.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_retrieval, m) {
  namespace core = norviai::core;
  namespace pc = norviai::py_common;
  m.doc() = "Lexical table index and token counting for prompt budgets.";

  m.def("_split_words", &core::split_words, py::arg("text"),
        "The index words of a text: identifiers split, lower-cased, plurals folded.");
  m.def("count_tokens", &pc::count_tokens, py::arg("text"),
        "Tokens of the text in the cl100k_base encoding, counted offline.");
  m.def("prompt_budget", &pc::prompt_budget,
        "The token budget of each model call (NORVIAI_PROMPT_BUDGET, 24000 by default).");

  py::class_<core::Bm25Index>(m, "Bm25", "BM25 index of a database's tables.")
      .def(py::init<>())
      .def("add", &core::Bm25Index::add, py::arg("name"), py::arg("columns"),
           py::arg("comments") = std::vector<std::string>{},
           py::arg("fk_neighbours") = std::vector<std::string>{},
           "Indexes one table; returns its id.")
      .def(
          "rank",
          [](const core::Bm25Index& index, const std::string& question, std::size_t k) {
            std::vector<std::pair<std::string, double>> ranked;
            for (const auto& hit : index.rank(question, k)) {
              ranked.emplace_back(index.name(hit.table), hit.score);
            }
            return ranked;
          },
          py::arg("question"), py::arg("k"),
          "The at most k best tables for the question as (name, score), best first.")
      .def(
          "expand",
          [](const core::Bm25Index& index, const std::string& question, std::size_t k,
             std::optional<std::size_t> limit) {
            std::vector<std::string> names;
            for (std::size_t table :
                 index.relevant_tables(question, k, limit.value_or(core::Bm25Index::kNoLimit))) {
              names.push_back(index.name(table));
            }
            return names;
          },
          py::arg("question"), py::arg("k"), py::arg("limit") = py::none(),
          "Names of the k best tables, then of their foreign-key neighbours, at most limit.")
      .def("__len__", &core::Bm25Index::size);

  namespace rt = norviai::retrieval;
  py::class_<rt::TableIndex>(m, "TableIndex", "The table index a database wrapper keeps.")
      .def("related", &rt::TableIndex::related, py::arg("question"),
           "Table names for the question, most related first.")
      .def("__len__", &rt::TableIndex::size);
  m.def("table_index", &rt::table_index, py::arg("db"), py::return_value_policy::reference,
        "The table index of a database wrapper, built on first use.");
  m.def("cut_note", &rt::cut_note, py::arg("shown"), "The line a cut prompt carries.");
  m.def("fit_tables", &rt::fit_tables, py::arg("db"), py::arg("question"), py::arg("names"),
        py::arg("build"), py::arg("name_copies"), py::arg("with_schemas") = true,
        "(prompt, names shown): build(names, note) over all names when it fits the budget, "
        "else over the tables most related to the question that fit.");
  m.def("known_tables", &rt::known_tables, py::arg("picked"), py::arg("table_names"),
        "(kept, dropped): the picked names that are tables, in the tables' spelling.");
}
