// What a harness asserts: a property that does not hold is a finding, reported
// with the place and the property and ended with abort(), so libFuzzer keeps
// the input that broke it. Unlike assert(), never compiled out.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)
