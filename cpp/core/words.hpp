// Splits identifiers and prose into lower-case index words for table retrieval: snake_case,
// camelCase, letter/digit boundaries and punctuation separate words; plurals fold onto the word
// their singular folds to. Pure functions: thread-safe, no state, no Python (callers may hold or
// release the GIL). They throw nothing but std::bad_alloc.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace norviai::core {

// The words of `text` in order, duplicates kept. Only ASCII letters change case; bytes above
// 0x7f (UTF-8 sequences) count as letters without case. Words of one to three letters ("qty",
// "id", "cst") are kept as they are.
std::vector<std::string> split_words(std::string_view text);

// The index form of one lower-case word, shared by its singular and plural: "categories" and
// "category" both give "categori", "addresses" and "address" give "address", "statuses" and
// "status" give "status", "houses" and "house" give "hous". A key, not always an English word.
std::string fold_word(std::string word);

}  // namespace norviai::core
