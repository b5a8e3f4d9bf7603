#pragma once
// The console texts shared by the readers and the writer: progress counters
// overwrite each other on a terminal by starting with 30 backspaces.

namespace wendfit {

// 30 backspace characters.
inline constexpr const char* kProgressRewind =
    "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";

// Counters are printed for every index that is a multiple of this.
inline constexpr int kProgressStep = 10000;

}  // namespace wendfit
