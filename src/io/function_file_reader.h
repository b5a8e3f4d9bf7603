#pragma once
// Reader of the basis function file that writeFunctionFile produces.

#include <memory>
#include <string>

#include "function/implicit_function.h"

namespace wendfit {

// Reads the file at `path` and rebuilds the function: its box, offset and
// every basis function, inserted into the cell tree so that each cell's list
// keeps the file order (writing the result again reproduces the file as long
// as the printed values put every record in the same cell). Construction is
// silent. The layout into lines is free; text after the last record is an
// error, since it means the count is wrong.
// Throws Error "<file>:<line>: <problem> (expected ...)" when the file cannot
// be opened, a line is missing, the count is negative or larger than the
// file could hold (checked before allocating), a number is malformed or not
// finite, or a radius is not positive.
std::unique_ptr<ImplicitFunction> readFunctionFile(const std::string& path);

}  // namespace wendfit
