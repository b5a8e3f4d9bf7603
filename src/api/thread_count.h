#pragma once
// OpenMP's thread count for one library call: the caller's own setting is
// restored afterwards, so asking one call for N threads does not change the
// program's later parallel regions.

#include <omp.h>

#include "core/error.h"

namespace wendfit {

class ScopedThreadCount {
 public:
  // 0 keeps the current setting; a negative count is an Error.
  explicit ScopedThreadCount(int threads) : previous_(omp_get_max_threads()) {
    if (threads < 0) {
      throw Error("thread count " + std::to_string(threads) + " (expected 0 for the default, or more)");
    }
    if (threads > 0) omp_set_num_threads(threads);
  }
  ~ScopedThreadCount() { omp_set_num_threads(previous_); }
  ScopedThreadCount(const ScopedThreadCount&) = delete;
  ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;

 private:
  int previous_;
};

}  // namespace wendfit
