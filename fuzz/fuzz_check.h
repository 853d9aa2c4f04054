// What the fuzz targets share: a check that stops the run with a message the fuzzer shows
// beside the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

// Aborts (a finding) when `condition` is false.
#define FUZZ_CHECK(condition)                                                                \
  ((condition)                                                                               \
       ? (void)0                                                                             \
       : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), \
          std::abort()))
