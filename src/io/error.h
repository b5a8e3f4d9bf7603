#pragma once
// The one error type of the library. Library code never prints an error nor
// exits: it throws Error with a message that names the file (and the line,
// point or face where that helps); the executables catch it, print
// "wendfit: error: <message>" on standard error and return a non-zero status.

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

// "<file>: <problem>" and "<file>:<line>: <problem>", the shapes every reader uses.
std::string fileMessage(const std::string& file, const std::string& problem);
std::string fileMessage(const std::string& file, long line, const std::string& problem);

}  // namespace wendfit
