// Detection of degenerate repetition in a model's reply: a small model that loses its way writes
// one character or one short phrase over and over until the length limit. Pure functions of
// their arguments: thread-safe, no state, no Python. They throw nothing but std::bad_alloc.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace norviai::core {

// The longest unit (in bytes) whose back-to-back repeats count as degenerate.
inline constexpr std::size_t kMaxRepeatedUnit = 40;
// A run counts when it spans at least this many bytes and holds the unit at least kMinRepeats
// times: long enough that no query, program or answer writes it on purpose.
inline constexpr std::size_t kMinRepeatedRun = 240;
inline constexpr std::size_t kMinRepeats = 12;

struct Repetition {
  std::string unit;     // the repeated text (at most 40 bytes)
  std::size_t repeats;  // whole repeats of it in the run
};

// The longest degenerate run in `text`, or std::nullopt when there is none.
std::optional<Repetition> degenerate_repetition(std::string_view text);

}  // namespace norviai::core
