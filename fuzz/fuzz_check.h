// CHECK for the fuzz targets: a broken invariant aborts, which libFuzzer
// reports as a crash together with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzFail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  std::abort();
}

#define CHECK(condition)                                           \
  do {                                                             \
    if (!(condition)) FuzzFail(__FILE__, __LINE__, #condition);    \
  } while (0)
