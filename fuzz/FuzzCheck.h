// The check every fuzz target uses: on a mismatch with the reference it names
// the condition and aborts, which libFuzzer reports as a crash and saves the
// input that caused it.
#ifndef TALVORNCOMMON_FUZZ_FUZZCHECK_H_
#define TALVORNCOMMON_FUZZ_FUZZCHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

#endif  // TALVORNCOMMON_FUZZ_FUZZCHECK_H_
