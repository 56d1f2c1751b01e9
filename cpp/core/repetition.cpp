#include "core/repetition.hpp"

namespace norviai::core {

std::optional<Repetition> degenerate_repetition(std::string_view text) {
  std::optional<Repetition> found;
  std::size_t best_span = 0;
  for (std::size_t unit = 1; unit <= kMaxRepeatedUnit && 2 * unit <= text.size(); ++unit) {
    // text[i] == text[i + unit] over a stretch means the stretch repeats with period `unit`.
    std::size_t start = 0;
    std::size_t matched = 0;
    for (std::size_t i = 0; i + unit < text.size(); ++i) {
      if (text[i] == text[i + unit]) {
        if (matched == 0) start = i;
        ++matched;
      } else {
        matched = 0;
      }
      const std::size_t span = matched + unit;
      if (matched > 0 && span >= kMinRepeatedRun && span / unit >= kMinRepeats &&
          span > best_span) {
        best_span = span;
        found = Repetition{std::string(text.substr(start, unit)), span / unit};
      }
    }
  }
  return found;
}

}  // namespace norviai::core
