#pragma once
// The one error type of wendfit. The library never prints an error nor
// exits: it throws Error with a message that names the file (and the line,
// point or face where that helps), or the argument at fault.

#include <stdexcept>
#include <string>

namespace wendfit {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Raised by the sparse solver for the failures that the solver itself reports
// (illegal itol, mismatched storage, allocation failure). The executables print
// it as the solver's three-line report and exit with status 1.
class SolverError : public Error {
 public:
  explicit SolverError(const std::string& message) : Error(message) {}
};

}  // namespace wendfit
