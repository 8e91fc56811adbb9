// Internal consistency checks: conditions the engine guarantees by construction. A failed
// check is a bug in the engine, never a user error, so it stops the process with its text.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace korvane {

[[noreturn]] inline void invariant_failed(const char* text) {
  std::fprintf(stderr, "korvane: invariant broken: %s\n", text);
  std::abort();
}

}  // namespace korvane

#define KORVANE_INVARIANT(condition, text)               \
  do {                                                   \
    if (!(condition)) ::korvane::invariant_failed(text); \
  } while (false)
