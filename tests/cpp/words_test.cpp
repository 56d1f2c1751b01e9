#include "core/words.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace norviai::core {
namespace {

TEST(WordsTest, SplitWords) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {}},
      {"__ -- ..", {}},
      {"order_id", {"order", "id"}},
      {"ORDER_ID", {"order", "id"}},
      {"orderId", {"order", "id"}},
      {"XMLHttpRequest", {"xml", "http", "request"}},
      {"address2", {"address", "2"}},
      {"top 5 customers?", {"top", "5", "customer"}},
      {"public.\"Order Rows\"", {"public", "order", "row"}},
      {"cst_mst.nm", {"cst", "mst", "nm"}},    // cryptic short names stay as they are
      {"qty ids bus", {"qty", "ids", "bus"}},  // three letters or fewer: never folded
      {"Gr\xc3\xb6\xc3\x9f"
       "enID",
       {"gr\xc3\xb6\xc3\x9f"
        "en",
        "id"}},  // UTF-8 inside a word
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(split_words(text), expected) << text;
}

TEST(WordsTest, PluralsMeetTheirSingular) {
  const std::vector<std::pair<std::string, std::string>> pairs = {{"tables", "table"},
                                                                  {"categories", "category"},
                                                                  {"addresses", "address"},
                                                                  {"statuses", "status"},
                                                                  {"boxes", "box"},
                                                                  {"houses", "house"},
                                                                  {"employees", "employee"},
                                                                  {"purchases", "purchase"},
                                                                  {"classes", "class"},
                                                                  {"days", "day"},
                                                                  {"buses", "bus"},
                                                                  {"ties", "tie"},
                                                                  {"OrderItems", "order_item"}};
  for (const auto& [plural, singular] : pairs) {
    EXPECT_EQ(split_words(plural), split_words(singular)) << plural;
  }
  // Words that end in s without being plurals keep it, so they do not meet a shorter word.
  for (const std::string word : {"status", "address", "analysis", "class"}) {
    EXPECT_EQ(fold_word(word), word);
  }
}

}  // namespace
}  // namespace norviai::core
