#pragma once
// The processor's vector extensions, asked once: the kernels that use them
// choose their width at run time, so one build runs on any x86-64 machine
// (and gives the same bits on each).

namespace wendfit {

#if defined(__x86_64__) && defined(__GNUC__)

inline bool cpuHasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

inline bool cpuHasAvx512f() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
  }();
  return has;
}

#endif

}  // namespace wendfit
