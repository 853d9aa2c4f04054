// What the fuzz targets share: a check that stops the run with a message the fuzzer shows
// beside the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

// What is being checked, for the message, when the input alone does not tell (nullptr: nothing).
inline const char* g_fuzz_context = nullptr;

// Aborts (a finding) when `condition` is false.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s%s%s\n", __FILE__, __LINE__, #condition, \
                   g_fuzz_context != nullptr ? " while checking " : "",                     \
                   g_fuzz_context != nullptr ? g_fuzz_context : "");                        \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)
