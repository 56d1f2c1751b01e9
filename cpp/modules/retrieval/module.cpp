// norviai._retrieval: the table index and the token counting behind prompt budgets, for the
// steps that build prompts and for tests. Expects the GIL like every module.
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
}
