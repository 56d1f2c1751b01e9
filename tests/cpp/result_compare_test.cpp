#include "core/result_compare.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norviai::core {
namespace {

Cell n(const char* decimal) { return Cell::number(decimal); }
Cell t(const char* text) { return Cell::of_text(text); }
Cell null() { return Cell::null(); }

TEST(ResultCompareTest, Results) {
  struct Case {
    const char* name;
    ResultRows gold;
    ResultRows predicted;
    bool ordered;
    bool match;
    std::string difference;  // checked when not empty
  };
  const std::vector<Case> cases = {
      {"same rows", {{t("a"), n("1")}}, {{t("a"), n("1")}}, false, true, ""},
      {"rows in another order", {{t("a")}, {t("b")}}, {{t("b")}, {t("a")}}, false, true, ""},
      {"order counts when the gold orders",
       {{t("a")}, {t("b")}},
       {{t("b")}, {t("a")}},
       true,
       false,
       "row 1 differs: expected (a), got (b)"},
      {"columns in another order",
       {{t("a"), n("1")}, {t("b"), n("2")}},
       {{n("2"), t("b")}, {n("1"), t("a")}},
       true,
       false,
       ""},
      {"columns swapped, rows in order",
       {{t("a"), n("1")}, {t("b"), n("2")}},
       {{n("1"), t("a")}, {n("2"), t("b")}},
       true,
       true,
       ""},
      {"int and float", {{n("50")}}, {{n("50.0")}}, false, true, ""},
      {"decimal and float noise", {{n("77700.15")}}, {{n("77700.15000000001")}}, false, true, ""},
      {"unrounded value rounds to the gold's decimals",
       {{n("7.53")}},
       {{n("7.5347")}},
       false,
       true,
       ""},
      {"an integer gold has no rounding slack", {{n("50")}}, {{n("50.4")}}, false, false, ""},
      {"different numbers", {{n("3653.96")}}, {{n("3589.88")}}, false, false, ""},
      {"number read as text by one driver", {{n("2024")}}, {{t("2024")}}, false, true, ""},
      {"text is exact", {{t("Books")}}, {{t("books")}}, false, false, ""},
      {"NULL only matches NULL", {{null()}}, {{t("")}}, false, false, ""},
      {"NULLs match", {{null(), n("1")}}, {{null(), n("1")}}, false, true, ""},
      {"duplicates count (multiset)",
       {{t("a")}, {t("a")}, {t("b")}},
       {{t("a")}, {t("b")}, {t("b")}},
       false,
       false,
       ""},
      {"row count",
       {{t("a")}},
       {{t("a")}, {t("b")}},
       false,
       false,
       "the query returned 2 rows, the gold query 1"},
      {"column count",
       {{t("a")}},
       {{t("a"), n("1")}},
       false,
       false,
       "the query returned 2 columns, the gold query 1"},
      {"missing column values",
       {{t("a"), n("1")}},
       {{t("a"), n("9")}},
       false,
       false,
       "no column of the query's result holds the values of gold column 2"},
      {"columns agree one by one but not as rows",
       {{t("a"), n("1")}, {t("b"), n("2")}},
       {{t("a"), n("2")}, {t("b"), n("1")}},
       false,
       false,
       ""},
      {"two columns with equal values, either mapping",
       {{n("1"), n("1")}, {n("2"), n("2")}},
       {{n("2"), n("2")}, {n("1"), n("1")}},
       false,
       true,
       ""},
      {"both empty", {}, {}, true, true, ""},
  };
  for (const auto& c : cases) {
    const Comparison got = compare_results(c.gold, c.predicted, c.ordered);
    EXPECT_EQ(got.match, c.match) << c.name << ": " << got.difference;
    if (!c.difference.empty()) {
      EXPECT_EQ(got.difference, c.difference) << c.name;
    }
    if (!got.match) {
      EXPECT_FALSE(got.difference.empty()) << c.name;
    }
  }
}

TEST(ResultCompareTest, OrdersItsResult) {
  const std::vector<std::pair<const char*, bool>> cases = {
      {"SELECT a FROM t", false},
      {"SELECT a FROM t ORDER BY a", true},
      {"select a from t order  by a desc limit 5", true},
      {"SELECT a FROM t ORDER\n-- why\nBY a", true},
      {"SELECT a, ROW_NUMBER() OVER (ORDER BY b) FROM t", false},
      {"WITH x AS (SELECT a FROM t ORDER BY a) SELECT a FROM x", false},
      {"SELECT 'ORDER BY a' FROM t", false},
      {"SELECT \"order by\" FROM t", false},
      {"SELECT a FROM t /* ORDER BY a */", false},
      {"SELECT a FROM t -- ORDER BY a", false},
      {"(SELECT a FROM t ORDER BY a) UNION SELECT b FROM u", false},
      {"SELECT a FROM t UNION SELECT b FROM u ORDER BY 1", true},
      {"SELECT 'it''s' AS x FROM t ORDER BY x", true},
      {"SELECT order_date FROM orders", false},
  };
  for (const auto& [sql, expected] : cases) EXPECT_EQ(orders_its_result(sql), expected) << sql;
}

}  // namespace
}  // namespace norviai::core
