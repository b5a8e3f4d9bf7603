// The result file. Lines follow the cell tree rather than the levels, so a
// reader that rebuilds the tree from the file reproduces the same order.

#include "io/function_file_writer.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <omp.h>

#include "core/fixed_decimal.h"
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

// Records formatted per chunk; formatting (decimal conversion of fifteen
// numbers) costs far more than writing, so chunks are formatted in parallel
// and written in order, which gives the same bytes for any thread count.
constexpr int kFormatChunk = 4096;

// The record's line through writeFixedSix: the same text as printf's, about
// ten times faster. False (nothing appended) when a number needs printf.
bool appendRecordFast(std::string& out, const BasisFunction& f) {
  const float numbers[14] = {f.centre[0], f.centre[1], f.centre[2], f.coeff[0], f.coeff[1],
                             f.coeff[2],  f.coeff[3],  f.coeff[4],  f.coeff[5], f.coeff[6],
                             f.coeff[7],  f.coeff[8],  f.coeff[9],  f.radius};
  char line[14 * (kFixedSixMax + 1) + 16];
  char* p = line;
  for (float number : numbers) {
    const std::size_t length = writeFixedSix(p, number);
    if (length == 0) return false;
    p += length;
    *p++ = ' ';
  }
  p += std::snprintf(p, 16, "%d\n", f.level);
  out.append(line, static_cast<size_t>(p - line));
  return true;
}

void appendRecord(std::string& out, const BasisFunction& f) {
  if (appendRecordFast(out, f)) return;
  const float* c = f.coeff;
  char line[512];
  const int length =
      std::snprintf(line, sizeof line, "%f %f %f %f %f %f %f %f %f %f %f %f %f %f %d\n",
                    f.centre[0], f.centre[1], f.centre[2], c[0], c[1], c[2], c[3], c[4], c[5],
                    c[6], c[7], c[8], c[9], f.radius, f.level);
  if (length >= 0 && static_cast<size_t>(length) < sizeof line) {
    out.append(line, static_cast<size_t>(length));
    return;
  }
  // Numbers near the float limits print hundreds of digits with %f.
  std::string wide(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(wide.data(), wide.size(), "%f %f %f %f %f %f %f %f %f %f %f %f %f %f %d\n",
                f.centre[0], f.centre[1], f.centre[2], c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                c[7], c[8], c[9], f.radius, f.level);
  out.append(wide.data(), static_cast<size_t>(length));
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

  // A round formats a few chunks per thread at once, so memory stays small.
  const int roundChunks = 2 * omp_get_max_threads();
  std::vector<std::string> chunks(static_cast<size_t>(roundChunks));
  for (int roundStart = 0; roundStart < count; roundStart += roundChunks * kFormatChunk) {
    const int roundEnd = static_cast<int>(
        std::min<long long>(count, roundStart + static_cast<long long>(roundChunks) * kFormatChunk));
    const int used = (roundEnd - roundStart + kFormatChunk - 1) / kFormatChunk;
    // No exception may leave the parallel loop; a chunk that cannot grow is
    // reported after it.
    bool outOfMemory = false;
#pragma omp parallel for schedule(dynamic, 1)
    for (int k = 0; k < used; ++k) {
      const int first = roundStart + k * kFormatChunk;
      const int end = std::min(roundEnd, first + kFormatChunk);
      std::string& text = chunks[static_cast<size_t>(k)];
      text.clear();
      try {
        for (int i = first; i < end; ++i) appendRecord(text, *records[static_cast<size_t>(i)]);
      } catch (const std::bad_alloc&) {
#pragma omp atomic write
        outOfMemory = true;
      }
    }
    if (outOfMemory) throw std::bad_alloc();
    for (int k = 0; k < used; ++k) {
      file.write(chunks[static_cast<size_t>(k)].data(), chunks[static_cast<size_t>(k)].size());
      if (!console) continue;
      const int first = roundStart + k * kFormatChunk;
      const int end = std::min(roundEnd, first + kFormatChunk);
      for (int i = (first + kProgressStep - 1) / kProgressStep * kProgressStep; i < end;
           i += kProgressStep) {
        std::fprintf(console, "%s %d functions are written.", kProgressRewind, i);
      }
    }
  }
  file.commit();
  if (console) std::fprintf(console, "%sFile write is done.        \n\n", kProgressRewind);
}

}  // namespace wendfit
