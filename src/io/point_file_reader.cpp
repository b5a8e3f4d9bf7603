// The default input of the tool: oriented points as plain text.

#include "io/point_file_reader.h"

#include <string>

#include "io/console_progress.h"
#include "core/error.h"
#include "core/text_scanner.h"

namespace wendfit {

namespace {

// Every point needs six numbers, each at least one character after one
// separator; a larger count cannot be honest and is refused before
// allocating.
constexpr size_t kMinBytesPerPoint = 12;

int readPointCount(TextScanner& scanner) {
  const int n = scanner.readInt("the number of points");
  const long line = scanner.line();
  if (n < 0) {
    scanner.fail("negative point count " + std::to_string(n), "a count of at least 1", -1);
  }
  if (n == 0) scanner.fail("the file holds no points", "a count of at least 1", -1);
  const size_t fits = scanner.remainingBytes() / kMinBytesPerPoint;
  if (static_cast<size_t>(n) > fits) {
    throw Error(fileMessage(scanner.name(), line,
                            "point count " + std::to_string(n) +
                                " is larger than the file can hold (expected at most " +
                                std::to_string(fits) + " points)"));
  }
  return n;
}

}  // namespace

PointSet readPointFile(const std::string& path, std::FILE* console) {
  TextScanner scanner = TextScanner::fromFile(path);
  if (console) std::fprintf(console, "File read is started.\n");
  const int n = readPointCount(scanner);
  if (console) std::fprintf(console, "%d points.\n", n);

  PointSet set;
  set.allocate(n);
  for (int i = 0; i < n; ++i) {
    const float x = scanner.readFloat("the x coordinate of point", i);
    const float y = scanner.readFloat("the y coordinate of point", i);
    const float z = scanner.readFloat("the z coordinate of point", i);
    set.setPosition(i, x, y, z);
    if (console && i % kProgressStep == 0) std::fprintf(console, "%s %d points are read.", kProgressRewind, i);
  }
  // The file's normals point the other way from the ones the fitting uses.
  for (int i = 0; i < n; ++i) {
    const float x = scanner.readFloat("the x component of normal", i);
    const float y = scanner.readFloat("the y component of normal", i);
    const float z = scanner.readFloat("the z component of normal", i);
    set.setNormal(i, -x, -y, -z);
    if (console && i % kProgressStep == 0) std::fprintf(console, "%s %d normals are read.", kProgressRewind, i);
  }
  if (console) std::fprintf(console, "%sFile read is done.        \n\n", kProgressRewind);
  return set;
}

}  // namespace wendfit
