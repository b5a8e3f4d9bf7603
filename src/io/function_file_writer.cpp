// The result file. Lines follow the cell tree rather than the levels, so a
// reader that rebuilds the tree from the file reproduces the same order.

#include "io/function_file_writer.h"

#include <climits>
#include <vector>

#include "io/console_progress.h"
#include "core/error.h"
#include "io/output_file.h"

namespace wendfit {

namespace {

// Depth first: the cell's own list from head to tail, then each present
// child 0..7 completely before the next.
void collect(const FunctionCell& cell, std::vector<const BasisFunction*>& out) {
  for (const FunctionNode* node = cell.functions; node; node = node->next) out.push_back(node->function);
  if (!cell.children) return;
  for (const std::unique_ptr<FunctionCell>& child : *cell.children) {
    if (child) collect(*child, out);
  }
}

void writeRecord(OutputFile& file, const BasisFunction& f) {
  const float* c = f.coeff;
  file.print("%f %f %f %f %f %f %f %f %f %f %f %f %f %f %d\n", f.centre[0], f.centre[1], f.centre[2],
             c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], f.radius, f.level);
}

}  // namespace

void writeFunctionFile(const ImplicitFunction& function, const std::string& path, std::FILE* console) {
  OutputFile file(path);
  if (console) std::fprintf(console, "File write is started.\n");
  file.print("%f %f %f\n", function.boxMin()[0], function.boxMin()[1], function.boxMin()[2]);
  file.print("%f %f %f\n", function.boxMax()[0], function.boxMax()[1], function.boxMax()[2]);

  std::vector<const BasisFunction*> records;
  records.reserve(static_cast<size_t>(function.functionCount()));
  collect(function.root(), records);
  if (records.size() > static_cast<size_t>(INT_MAX)) {
    throw Error(fileMessage(path, std::to_string(records.size()) +
                                      " basis functions are more than the file format can count"));
  }
  const int count = static_cast<int>(records.size());
  file.print("%d\n", count);
  file.print("%f\n", function.offset());
  if (console) std::fprintf(console, "%d basis functions.\n", count);

  for (int i = 0; i < count; ++i) {
    writeRecord(file, *records[static_cast<size_t>(i)]);
    if (console && i % kProgressStep == 0) {
      std::fprintf(console, "%s %d functions are written.", kProgressRewind, i);
    }
  }
  file.commit();
  if (console) std::fprintf(console, "%sFile write is done.        \n\n", kProgressRewind);
}

}  // namespace wendfit
