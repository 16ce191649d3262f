#pragma once
// A property a fuzz target asserts: when it does not hold, the input is a
// finding, reported like a crash.

#include <cstdio>
#include <cstdlib>

#define TOLN_FUZZ_CHECK(condition)                                                        \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (false)
