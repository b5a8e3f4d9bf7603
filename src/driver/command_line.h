#pragma once
// Parsing of the `wendfit` command line:
//   wendfit [options] INPUT OUTPUT LEVELS [THRESHOLD [REGULARIZATION]]
// Options may stand anywhere among the positional arguments; `--` ends them.
// Every number must be the whole argument: LEVELS a whole number from 1 to
// maxFitLevels(), THRESHOLD and REGULARIZATION finite and not negative.
// Anything else is a usage error naming the argument, found before any file
// is touched.

#include <string>
#include <vector>

#include "driver/run.h"

namespace wendfit {

struct CommandLine {
  enum class Action { Run, Help, Version, UsageError };
  Action action = Action::UsageError;
  RunOptions options;
  std::string problem;  // for UsageError: what was wrong
};

CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The usage text, ending with a line feed.
std::string usageText();

}  // namespace wendfit
