#include "core/repetition.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace norviai::core {
namespace {

std::string times(const std::string& unit, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

TEST(RepetitionTest, FindsDegenerateRunsAndLeavesWrittenTextAlone) {
  struct Case {
    std::string name;
    std::string text;
    std::optional<std::string> unit;  // std::nullopt: not degenerate
    std::size_t repeats = 0;
  };
  const std::string phrase = "The total number of orders is 42. ";
  const std::string statement = "SELECT id FROM customers;\n";
  const std::string program =
      "import pandas as pd\n"
      "df = pd.DataFrame(rows, columns=['city', 'total'])\n"
      "print('=' * 40)\nprint(df.sort_values('total').to_string(index=False))\n";
  const std::vector<Case> cases = {
      // A small model's tool arguments that ran to the length limit on one digit.
      {"digits in a literal",
       "{\"sql_query\": \"SELECT COUNT(*) FROM orders WHERE total > 1" + times("0", 600), "0", 600},
      {"one phrase again and again", "The answer is:\n" + times(phrase, 30), phrase, 30},
      {"a statement repeated, cut mid-way", times(statement, 20) + "SELECT", statement, 20},
      {"blank lines", "SELECT 1" + times("\n", 300), "\n", 300},
      {"period-two pattern", "x = [" + times("0,", 200), "0,", 200},
      {"program", program, std::nullopt},
      {"separator line", "| city | total |\n|" + times("-", 120) + "|\n", std::nullopt},
      {"short run", "Revenue: 1" + times("0", 200), std::nullopt},
      {"unit longer than the limit", times(std::string(41, 'a') + "b", 12), std::nullopt},
      {"many different rows",
       "[(1, 'Ana'), (2, 'Bo'), (3, 'Cy'), (4, 'Di'), (5, 'Ed'), (6, 'Flo'), (7, 'Gus')]",
       std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    auto found = degenerate_repetition(c.text);
    ASSERT_EQ(found.has_value(), c.unit.has_value()) << c.name;
    if (!found) continue;
    EXPECT_EQ(found->unit, *c.unit) << c.name;
    EXPECT_EQ(found->repeats, c.repeats) << c.name;
  }
}

}  // namespace
}  // namespace norviai::core
