#include "modules/retrieval/table_index.hpp"

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "modules/common/pyutil.hpp"
#include "modules/common/token_count.hpp"

namespace norviai::retrieval {

namespace {

namespace common = norviai::py_common;

constexpr const char* kIndexAttribute = "_norviai_table_index";
constexpr const char* kCatalogueAttribute = "_norviai_catalogue";
// The best-ranked tables whose foreign-key neighbours come next: a question names a few tables
// and the joins it needs pass through their neighbours.
constexpr std::size_t kTopTables = 10;
// Schema texts are measured one table at a time; a run of tables too large for what is left
// ends the search rather than measuring the whole database.
constexpr std::size_t kMisfitsInARow = 3;

std::vector<std::string> strings(py::handle values) {
  std::vector<std::string> out;
  for (py::handle value : values) out.push_back(py::str(value).cast<std::string>());
  return out;
}

bool is_custom_database(py::handle db) {
  py::object custom = common::import_from("norviai.askflow.custom_sql", "CustomSQLDatabase");
  return py::isinstance(db, custom);
}

py::list entries_of(py::handle db) {
  if (is_custom_database(db)) {
    return py::module_::import("norviai.askflow._sqlwrap").attr("index_entries")(db);
  }
  py::list entries;
  for (py::handle name : db.attr("get_usable_table_names")()) {
    entries.append(py::make_tuple(name, py::list(), py::list(), py::list()));
  }
  return entries;
}

}  // namespace

TableIndex::TableIndex(py::handle entries) {
  for (py::handle entry : entries) {
    py::tuple fields = py::reinterpret_borrow<py::tuple>(entry);
    std::string name = py::str(fields[0]).cast<std::string>();
    std::vector<std::string> columns = strings(fields[1]);
    std::string words = name;
    for (const auto& column : columns) words += " " + column;
    words_.emplace(name, std::move(words));
    bm25_.add(std::move(name), columns, strings(fields[2]), strings(fields[3]));
  }
}

std::vector<std::string> TableIndex::related(const std::string& question) const {
  std::vector<std::string> names;
  std::unordered_set<std::size_t> listed;
  for (std::size_t table : bm25_.relevant_tables(question, kTopTables)) {
    listed.insert(table);
    names.push_back(bm25_.name(table));
  }
  for (const auto& hit : bm25_.rank(question, core::Bm25Index::kNoLimit)) {
    if (listed.insert(hit.table).second) names.push_back(bm25_.name(hit.table));
  }
  return names;
}

bool TableIndex::surely_over(const std::vector<std::string>& names, std::size_t budget) {
  std::size_t total = 0;
  for (const auto& name : names) {
    auto cached = floor_tokens_.find(name);
    if (cached == floor_tokens_.end()) {
      auto words = words_.find(name);
      cached =
          floor_tokens_
              .emplace(name, common::count_tokens(words == words_.end() ? name : words->second))
              .first;
    }
    total += cached->second;
    if (total > budget) return true;
  }
  return false;
}

std::size_t TableIndex::schema_tokens(py::handle db, const std::string& name) {
  auto cached = schema_tokens_.find(name);
  if (cached != schema_tokens_.end()) return cached->second;
  py::list one;
  one.append(name);
  std::string text = py::str(db.attr("get_table_info_no_throw")(one)).cast<std::string>();
  std::size_t tokens = common::count_tokens(text);
  schema_tokens_.emplace(name, tokens);
  return tokens;
}

TableIndex& table_index(py::handle db) {
  py::object held = py::getattr(db, kIndexAttribute, py::none());
  py::object catalogue = py::getattr(db, kCatalogueAttribute, py::none());
  if (!held.is_none()) {
    py::tuple pair = held.cast<py::tuple>();
    if (catalogue.is(pair[0])) return pair[1].cast<TableIndex&>();
  }
  py::list entries = entries_of(db);
  py::object index = py::cast(std::make_unique<TableIndex>(entries));
  // Reading the entries may have read the catalogue: the index belongs to that one.
  catalogue = py::getattr(db, kCatalogueAttribute, py::none());
  py::setattr(db, kIndexAttribute, py::make_tuple(catalogue, index));
  return index.cast<TableIndex&>();
}

std::string cut_note(std::size_t shown) {
  return "Only the " + std::to_string(shown) + " tables most related to the question are listed.";
}

py::tuple fit_tables(py::handle db, const std::string& question,
                     const std::vector<std::string>& names, py::handle build,
                     std::size_t name_copies, bool with_schemas) {
  const std::size_t budget = common::prompt_budget();
  TableIndex& index = table_index(db);
  auto built = [&](const std::vector<std::string>& shown, const std::string& note) {
    py::list list;
    for (const auto& name : shown) list.append(name);
    py::tuple result = build(list, note).cast<py::tuple>();
    return std::make_pair(py::object(result[0]), result[1].cast<std::size_t>());
  };
  if (!with_schemas || !index.surely_over(names, budget)) {
    auto [prompt, tokens] = built(names, "");
    if (tokens <= budget) return py::make_tuple(prompt, names);
  }

  // Most related first, then the tables the question shares no word with, in their order.
  const std::unordered_set<std::string> allowed(names.begin(), names.end());
  std::vector<std::string> candidates;
  std::unordered_set<std::string> seen;
  for (auto& name : index.related(question)) {
    if (allowed.count(name) && seen.insert(name).second) candidates.push_back(std::move(name));
  }
  for (const auto& name : names) {
    if (seen.insert(name).second) candidates.push_back(name);
  }

  const std::size_t fixed = built({}, cut_note(names.size())).second;
  std::size_t left = budget > fixed ? budget - fixed : 0;
  std::unordered_set<std::string> chosen;
  std::vector<std::string> order;  // chosen, most related first
  std::size_t misfits = 0;
  for (const auto& name : candidates) {
    // A name costs its tokens and a separator at each mention.
    std::size_t cost = name_copies * (common::count_tokens(name) + 1);
    if (with_schemas) cost += index.schema_tokens(db, name) + 1;
    if (cost > left) {
      if (++misfits == kMisfitsInARow) break;
      continue;
    }
    misfits = 0;
    left -= cost;
    chosen.insert(name);
    order.push_back(name);
  }

  // The estimate adds up tables one by one; the prompt itself decides. Drop the least related
  // until it fits.
  while (true) {
    std::vector<std::string> shown;
    for (const auto& name : names) {
      if (chosen.count(name)) shown.push_back(name);
    }
    auto [prompt, tokens] = built(shown, cut_note(shown.size()));
    if (tokens <= budget || order.empty()) return py::make_tuple(prompt, shown);
    std::size_t drop = std::max<std::size_t>(1, order.size() / 10);
    for (std::size_t i = 0; i < drop && !order.empty(); ++i) {
      chosen.erase(order.back());
      order.pop_back();
    }
  }
}

py::tuple known_tables(py::handle picked, py::handle table_names) {
  py::dict by_folded;
  for (py::handle name : table_names) by_folded[name.attr("casefold")()] = name;
  py::list kept;
  py::list dropped;
  for (py::handle name : picked) {
    py::object folded = py::none();
    if (py::isinstance<py::str>(name)) {
      folded = name.attr("strip")().attr("strip")("\"'`[] ").attr("casefold")();
    }
    if (!folded.is_none() && by_folded.contains(folded)) {
      py::object table = by_folded[folded];
      if (!kept.contains(table)) kept.append(table);
    } else {
      dropped.append(name);
    }
  }
  return py::make_tuple(kept, dropped);
}

}  // namespace norviai::retrieval
