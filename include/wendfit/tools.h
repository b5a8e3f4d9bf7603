#pragma once
// The four command-line tools as functions, so that their programs are
// nothing but a call from main (and so that another program can offer the
// same commands). Each takes the arguments after the program name and
// behaves exactly as the tool does: it reads and writes the files named on
// the command line, prints its results and transcript on the process's
// standard output, its progress, summary and messages on standard error, and
// returns the tool's exit status: 0 success, 1 failure, 2 usage error. No
// exception escapes; every failure becomes one message
// "<tool>: error: <problem>" on standard error. `--help` and `--version`
// print their text and return 0.
//
// Process-wide effects, as in the programs: wendfit-mesh and
// wendfit-reconstruct honour --threads by setting the number of OpenMP
// threads of the process, and wendfit-eval reading queries from standard
// input unties the C++ streams from C's stdio (std::ios::sync_with_stdio).

#include <string>
#include <vector>

namespace wendfit {

// wendfit: fits an implicit function to the oriented points of a file and
// writes it as a result file (see `wendfit --help`).
int runFitTool(const std::vector<std::string>& commandLine);

// wendfit-eval: reads a result file and answers one line of value,
// gradient and curvatures for each query line of a file or standard input.
int runEvalTool(const std::vector<std::string>& commandLine);

// wendfit-mesh: extracts the zero set of a result file's function as a
// triangle mesh file.
int runMeshTool(const std::vector<std::string>& commandLine);

// wendfit-reconstruct: from oriented points or a polygon mesh to a
// watertight triangle mesh file in one command.
int runReconstructTool(const std::vector<std::string>& commandLine);

}  // namespace wendfit
