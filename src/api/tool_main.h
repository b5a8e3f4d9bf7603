#pragma once
// What every tool's entry point (wendfit/tools.h) shares: help, version,
// and turning each failure into one message "<tool>: error: <problem>" on
// standard error with the exit status 0 success, 1 failure, 2 usage. Each
// tool supplies only its argument parser and its run.

#include <climits>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <wendfit/error.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace wendfit {

enum class ToolAction { Run, Help, Version };

// The action for a command line that asked for help, the version, both
// (help wins) or neither.
inline ToolAction requestedAction(bool help, bool version) {
  return help ? ToolAction::Help : version ? ToolAction::Version : ToolAction::Run;
}

// A fit allocates and releases buffers of hundreds of megabytes level after
// level (the linear system, its rows' neighbour lists, the level's terms).
// glibc serves every block over 32 MB from a mapping of its own and unmaps
// it on release, so the next level faults every page in again and the
// kernel zero-fills it. Keeping released memory in the heap instead took
// wendfit-reconstruct on 1,000,000 points of diplodocus from 15.3-16.3 s to
// 13.4-13.7 s (peak memory 1.12 -> 1.19 GB) on a virtual machine whose page
// faults are costly; on one whose faults are cheap it made no measurable
// difference. A tool owns its process, so the policy is set here and not
// in the library.
inline void keepReleasedMemory() {
#ifdef __GLIBC__
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
#endif
}

struct ToolText {
  const char* name;     // as in messages and --version
  std::string usage;    // printed after a usage error
  std::string help;     // printed for --help
  const char* outOfMemory;  // the message for an exhausted heap
  // The file the tool works on, filled in by the parser: an exhausted heap
  // is reported against it, so a user knows which input was too large.
  const std::string* input = nullptr;
};

// `parse` takes the arguments after the program name, returns the ToolAction and
// throws Error for a usage problem; `run` does the tool's work and
// returns its exit status. Anything `run` throws becomes status 1, after
// standard output is flushed so that earlier results stay ahead of the
// message.
template <class Parse, class Run>
int toolMain(const ToolText& text, const std::vector<std::string>& arguments, Parse parse, Run run) {
  ToolAction action = ToolAction::Run;
  try {
    action = parse(arguments);
  } catch (const Error& error) {
    std::fprintf(stderr, "%s: error: %s\n\n%s", text.name, error.what(), text.usage.c_str());
    return 2;
  }
  if (action == ToolAction::Help) {
    std::fputs(text.help.c_str(), stdout);
    return 0;
  }
  if (action == ToolAction::Version) {
    std::printf("%s %s\n", text.name, WENDFIT_VERSION);
    return 0;
  }
  // The message is printed from its parts: with the heap exhausted, even a
  // short string may not be had.
  const char* subject = "";
  const char* problem = text.outOfMemory;
  keepReleasedMemory();
  try {
    return run();
  } catch (const std::bad_alloc&) {
    if (text.input && !text.input->empty()) subject = text.input->c_str();
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: error: %s\n", text.name, error.what());
    return 1;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s: error: %s%s%s\n", text.name, subject, *subject ? ": " : "", problem);
  return 1;
}

}  // namespace wendfit
