// wendfit: fits an implicit function to oriented points. Parses the command
// line, runs the library's run sequence and turns errors into messages and
// exit statuses (0 success, 1 failure, 2 usage).

#include <wendfit/tools.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/run.h"
#include "core/error.h"
#include "api/tool_main.h"

int wendfit::runFitTool(const std::vector<std::string>& commandLine) {
  using namespace wendfit;
  RunOptions options;
  const ToolText text{"wendfit", usageText(), usageText(), "out of memory (the input is too large for this machine)",
                      &options.input};
  auto parse = [&](const std::vector<std::string>& arguments) {
    CommandLine line = parseCommandLine(arguments);
    if (line.action == CommandLine::Action::UsageError) throw Error(line.problem);
    options = line.options;
    return line.action == CommandLine::Action::Help      ? ToolAction::Help
           : line.action == CommandLine::Action::Version ? ToolAction::Version
                                                         : ToolAction::Run;
  };
  auto run = [&] {
    try {
      runFit(options, stdout, stderr);
      return 0;
    } catch (const SolverError& error) {
      // The solver's failures keep the shape of its own report.
      std::fflush(stdout);
      std::fprintf(stderr, "Numerical Recipes run-time error...\n%s\n...now exiting to system...\n", error.what());
      return 1;
    }
  };
  return toolMain(text, commandLine, parse, run);
}
