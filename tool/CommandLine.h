// Small pure helpers of the dispatcher: command-word comparison, the
// compression level argument and the timing line. Header-only so the tests
// can pin them without linking the tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tool {

// Case-insensitive comparison of whole words, ASCII letters only (the
// command words are ASCII; the locale plays no part).
inline bool SameWord(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// The compression level from its argument: 0 when absent or not a number,
// the leading decimal number otherwise (as atoi reads it), clamped to 0..9.
// Numbers too large for a long saturate instead of overflowing.
inline int ParseLevel(const char* text) {
  if (text == nullptr) return 0;
  const long value = std::strtol(text, nullptr, 10);
  if (value > 9) return 9;
  if (value < 0) return 0;
  return static_cast<int>(value);
}

// True once standard output failed (its reader went away, its disk is
// full): what is printed after that is lost, so long loops stop printing.
inline bool OutputLost() { return std::ferror(stdout) != 0; }

// The timing line for a command that started at startMs and ended at endMs
// on a wrapping millisecond counter; empty below one whole second.
inline std::string ElapsedLine(uint32_t startMs, uint32_t endMs) {
  const uint32_t seconds = (endMs - startMs) / 1000u;
  if (seconds == 0) return {};
  char line[64];
  std::snprintf(line, sizeof line, "Command completed in %02d:%02d\n",
                static_cast<int>(seconds / 60u), static_cast<int>(seconds % 60u));
  return line;
}

}  // namespace tool
