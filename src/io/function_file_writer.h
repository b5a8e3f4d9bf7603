#pragma once
// Writer of the basis function file, the tool's result: box corners, count,
// offset and one line per basis function, all numbers in "%f" notation.

#include <cstdio>
#include <string>

#include "function/implicit_function.h"

namespace wendfit {

// Writes `function` to `path`:
//   boxMin x y z / boxMax x y z / N / offset /
//   N lines "cx cy cz c0 ... c9 radius level"
// in the order of the cell tree (a cell's list head to tail, then children
// 0..7 depth first). Prints the writing messages and progress counters on
// `console` (nullptr: silent). The file is written beside the target and
// renamed onto it at the end, so `path` never holds a partial file. Throws
// Error naming `path` when it cannot be created or written.
void writeFunctionFile(const ImplicitFunction& function, const std::string& path,
                       std::FILE* console = nullptr);

}  // namespace wendfit
