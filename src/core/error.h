#pragma once
// Error and SolverError (the library's public error types, see
// <wendfit/error.h>) and the message shapes every reader uses. The
// executables catch Error, print "wendfit: error: <message>" on standard
// error and return a non-zero status.

#include <string>

#include <wendfit/error.h>

namespace wendfit {

// "<file>: <problem>" and "<file>:<line>: <problem>", the shapes every reader uses.
std::string fileMessage(const std::string& file, const std::string& problem);
std::string fileMessage(const std::string& file, long line, const std::string& problem);

}  // namespace wendfit
