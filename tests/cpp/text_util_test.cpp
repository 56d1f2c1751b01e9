#include "core/text_util.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace norviai::core {
namespace {

TEST(TextUtilTest, Trim) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {" \t\r\n\f\v", ""},
      {"  SELECT 1\n", "SELECT 1"},
      {"a \n b", "a \n b"},                        // inner blanks stay
      {"\xc2\xa0x\xc2\xa0", "\xc2\xa0x\xc2\xa0"},  // only ASCII blanks are trimmed
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(trim(text), expected) << text;
}

TEST(TextUtilTest, SingleFencedBlock) {
  struct Case {
    std::string text;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"```sql\nSELECT 1\n```", "SELECT 1"},
      {"```SQL\nSELECT a\nFROM t;\n```", "SELECT a\nFROM t;"},
      {"Here it is:\n\n```\n  SELECT 1\n```\nThis counts the rows.", "SELECT 1"},
      {"```postgresql  \r\nSELECT 1\r\n```", "SELECT 1"},
      {"```SELECT 1```", "SELECT 1"},
      {"```SELECT *\nFROM t\n```", "SELECT *\nFROM t"},  // first line is code, not a tag
      {"````sql\nSELECT '`'\n````", "SELECT '`'"},
      {"```sql\n```", ""},
      {"SELECT 1", std::nullopt},
      {"```sql\nSELECT 1", std::nullopt},
      {"```sql\nSELECT 1\n```\nor\n```sql\nSELECT 2\n```", std::nullopt},
      {"```sql\nSELECT 1\n```\n```", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(single_fenced_block(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace norviai::core
