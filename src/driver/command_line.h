#pragma once
// Parsing of the `wendfit` command line:
//   wendfit [options] INPUT OUTPUT LEVELS [THRESHOLD [REGULARIZATION]]
// Options may stand anywhere among the positional arguments; `--` ends them.
// LEVELS converts like atoi and THRESHOLD / REGULARIZATION like atof (text
// without a leading number gives 0), as the tool always has.

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

// atoi and atof as the tool has always converted its numeric arguments:
// leading white space, an optional sign and the longest valid prefix; no
// number gives 0. Out-of-range integers saturate instead of overflowing.
int convertInt(const std::string& text);
double convertFloat(const std::string& text);

}  // namespace wendfit
