#include "core/bm25.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace norviai::core {
namespace {

// A small shop; every table lists the tables its foreign keys point to.
Bm25Index shop() {
  Bm25Index index;
  index.add("customers", {"customer_id", "first_name", "last_name", "email", "city"},
            {"people who buy from the shop"}, {});
  index.add("orders", {"order_id", "customer_id", "order_date", "status", "total_amount"}, {},
            {"customers"});
  index.add("order_items", {"order_id", "product_id", "quantity", "unit_price"}, {},
            {"orders", "products"});
  index.add("products", {"product_id", "name", "category_id", "price"}, {}, {"categories"});
  index.add("categories", {"category_id", "name"}, {}, {});
  index.add("suppliers", {"supplier_id", "name", "country"}, {"who delivers stock"},
            {"warehouses"});  // never added
  index.add("employees", {"employee_id", "name", "manager_id"}, {}, {"employees"});
  index.add("payments", {"payment_id", "order_id", "amount", "paid_at"}, {}, {"orders"});
  index.add("cst_mst", {"cst_id", "nm", "rgn_cd"}, {}, {});
  return index;
}

std::vector<std::string> names(const Bm25Index& index, const std::vector<std::size_t>& ids) {
  std::vector<std::string> result;
  for (std::size_t id : ids) result.push_back(index.name(id));
  return result;
}

std::vector<std::string> ranked(const Bm25Index& index, const std::string& question,
                                std::size_t k) {
  std::vector<std::size_t> ids;
  for (const auto& hit : index.rank(question, k)) ids.push_back(hit.table);
  return names(index, ids);
}

TEST(Bm25Test, Rank) {
  const Bm25Index index = shop();
  struct Case {
    std::string question;
    std::size_t k;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      // The table named after the word beats the one that only has a column of that name.
      {"Which customers spent the most?", 2, {"customers", "orders"}},
      {"status of the orders", 1, {"orders"}},
      {"How many employees report to each manager?", 1, {"employees"}},
      {"quantity of each order item", 1, {"order_items"}},
      {"Suppliers by country", 1, {"suppliers"}},
      {"cst_mst rgn_cd", 1, {"cst_mst"}},
      {"who delivers", 1, {"suppliers"}},  // comment words count
      {"", 5, {}},
      {"which of the", 5, {}},  // nothing but filler words
      {"zebra unicorn", 5, {}},
      {"orders", 0, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ranked(index, c.question, c.k), c.expected) << c.question;

  // Scores come best first and every listed table matched something.
  const auto hits = index.rank("order amount", 10);
  ASSERT_GE(hits.size(), 3U);
  for (std::size_t i = 0; i < hits.size(); ++i) {
    EXPECT_GT(hits[i].score, 0);
    if (i > 0) {
      EXPECT_GE(hits[i - 1].score, hits[i].score);
    }
  }
}

TEST(Bm25Test, TableNameOutweighsColumnNames) {
  Bm25Index index;
  index.add("shipments", {"order_ref", "order_no", "sent_at"}, {}, {});
  index.add("orders", {"id", "placed_at", "total"}, {}, {});
  EXPECT_EQ(ranked(index, "recent orders", 2), (std::vector<std::string>{"orders", "shipments"}));
}

TEST(Bm25Test, EqualScoresInNameOrder) {
  Bm25Index index;
  for (const char* name : {"z_log", "x_log", "y_log"}) index.add(name, {"entry"}, {}, {});
  const auto hits = index.rank("log entries", 3);
  ASSERT_EQ(hits.size(), 3U);
  EXPECT_EQ(names(index, {hits[0].table, hits[1].table, hits[2].table}),
            (std::vector<std::string>{"x_log", "y_log", "z_log"}));
  EXPECT_EQ(hits[0].score, hits[2].score);
}

TEST(Bm25Test, Neighbours) {
  const Bm25Index index = shop();
  struct Case {
    std::vector<std::string> tables;
    std::size_t limit;
    std::vector<std::string> expected;
  };
  // Foreign keys link both ways, in name order; unknown names and self-references add nothing.
  const std::vector<Case> cases = {
      {{"customers"}, Bm25Index::kNoLimit, {"customers", "orders"}},
      {{"products"}, Bm25Index::kNoLimit, {"products", "categories", "order_items"}},
      {{"products"}, 2, {"products", "categories"}},
      {{"orders", "products"},
       Bm25Index::kNoLimit,
       {"orders", "products", "customers", "order_items", "payments", "categories"}},
      {{"suppliers"}, Bm25Index::kNoLimit, {"suppliers"}},
      {{"employees"}, Bm25Index::kNoLimit, {"employees"}},
      {{"orders", "orders"},
       Bm25Index::kNoLimit,
       {"orders", "customers", "order_items", "payments"}},
  };
  for (const Case& c : cases) {
    std::vector<std::size_t> ids;
    for (std::size_t id = 0; id < index.size(); ++id) {
      for (const auto& table : c.tables) {
        if (index.name(id) == table) ids.push_back(id);
      }
    }
    EXPECT_EQ(names(index, index.with_neighbours(ids, c.limit)), c.expected) << c.tables[0];
  }

  EXPECT_EQ(names(index, index.relevant_tables("Which customers spent the most?", 1)),
            (std::vector<std::string>{"customers", "orders"}));
  EXPECT_TRUE(index.relevant_tables("zebra", 3).empty());
  EXPECT_THROW(index.with_neighbours({index.size()}), std::out_of_range);
}

TEST(Bm25Test, NeighboursThatMatchTheQuestionComeFirst) {
  Bm25Index index;
  index.add("hub", {"id"}, {}, {"alpha", "zeta"});
  index.add("alpha", {"id"}, {}, {});
  index.add("zeta", {"weather"}, {}, {});
  EXPECT_EQ(names(index, index.relevant_tables("hub weather", 1)),
            (std::vector<std::string>{"hub", "zeta", "alpha"}));
  EXPECT_EQ(names(index, index.relevant_tables("hub weather", 1, 2)),
            (std::vector<std::string>{"hub", "zeta"}));
}

TEST(Bm25Test, NameAddedTwiceIsRefused) {
  Bm25Index index;
  index.add("orders", {}, {}, {});
  EXPECT_THROW(index.add("orders", {"id"}, {}, {}), std::invalid_argument);
  EXPECT_EQ(index.size(), 1U);
}

}  // namespace
}  // namespace norviai::core
