// wendfit: fits an implicit function to oriented points. Parses the command
// line, runs the library's run sequence and turns errors into messages and
// exit statuses (0 success, 1 failure, 2 usage).

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/run.h"
#include "core/error.h"

int main(int argc, char** argv) {
  using namespace wendfit;
  CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.action) {
    case CommandLine::Action::Help:
      std::fputs(usageText().c_str(), stdout);
      return 0;
    case CommandLine::Action::Version:
      std::printf("wendfit %s\n", WENDFIT_VERSION);
      return 0;
    case CommandLine::Action::UsageError:
      std::fprintf(stderr, "wendfit: error: %s\n\n%s", line.problem.c_str(), usageText().c_str());
      return 2;
    case CommandLine::Action::Run:
      break;
  }
  try {
    runFit(line.options, stdout, stderr);
    return 0;
  } catch (const SolverError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "Numerical Recipes run-time error...\n%s\n...now exiting to system...\n",
                 error.what());
  } catch (const Error& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "wendfit: error: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "wendfit: error: out of memory (the input is too large for this machine)\n");
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "wendfit: error: %s\n", error.what());
  }
  return 1;
}
