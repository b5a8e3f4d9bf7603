// Point lists, one oriented point per line. A first pass counts the point
// lines so that the set is allocated once and the count can be announced
// before the points, as the tool's own reader does.

#include "io/xyz_reader.h"

#include <climits>
#include <cstring>

#include "core/error.h"
#include "io/format_support.h"
#include "core/line_cursor.h"

namespace wendfit {

namespace {

constexpr const char* kSixNumbers = "six numbers x y z nx ny nz per line";

// True when the line starting at `p` holds something besides blanks and a
// '#' comment.
bool isPointLine(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f')) ++p;
  return p < end && *p != '\n' && *p != '#';
}

long long countPointLines(std::string_view data) {
  const char* p = data.data();
  const char* end = p + data.size();
  long long count = 0;
  while (p < end) {
    if (isPointLine(p, end)) ++count;
    const void* newline = std::memchr(p, '\n', static_cast<size_t>(end - p));
    p = newline ? static_cast<const char*>(newline) + 1 : end;
  }
  return count;
}

// Reads the six numbers of one point line, whose first token is `token`.
void readPointLine(LineCursor& cursor, std::string_view token, float v[6], int index) {
  static constexpr const char* kNames[6] = {"x", "y", "z", "nx", "ny", "nz"};
  for (int k = 0; k < 6; ++k) {
    if (k > 0) token = cursor.lineToken();
    if (token.empty()) {
      if (k == 3) cursor.fail("point " + std::to_string(index) + " has no normal; normals are required (expected " +
                              kSixNumbers + ")");
      cursor.fail("point " + std::to_string(index) + " has " + std::to_string(k) + " numbers (expected " +
                  kSixNumbers + ")");
    }
    switch (parseDecimalFloat(token, &v[k])) {
      case NumberStatus::kOk:
        continue;
      case NumberStatus::kNonFinite:
        cursor.fail(std::string("non-finite ") + kNames[k] + " " + quotedToken(token) + " of point " +
                    std::to_string(index) + " (expected finite numbers)");
      case NumberStatus::kOutOfRange:
        cursor.fail(std::string(kNames[k]) + " " + quotedToken(token) + " of point " + std::to_string(index) +
                    " is beyond the float range (expected a float)");
      case NumberStatus::kMalformed:
        break;
    }
    cursor.fail("malformed number " + quotedToken(token) + " as " + kNames[k] + " of point " +
                std::to_string(index) + " (expected " + kSixNumbers + ")");
  }
}

}  // namespace

PointSet readXyzData(std::string_view data, const std::string& name, std::FILE* console) {
  if (data.empty()) throw Error(fileMessage(name, std::string("the file is empty (expected ") + kSixNumbers + ")"));
  const long long count = countPointLines(data);
  if (count == 0) throw Error(fileMessage(name, std::string("no points (expected ") + kSixNumbers + ")"));
  if (count > INT_MAX) {
    throw Error(fileMessage(name, "more points than this tool can hold (expected at most " +
                                      std::to_string(INT_MAX) + ")"));
  }
  printReadStart(console, false, static_cast<int>(count), 0);
  PointSet points;
  points.allocate(static_cast<int>(count));
  LineCursor cursor(data, name, 1, '#');
  for (int i = 0; i < points.count;) {
    std::string_view first = cursor.lineToken();
    if (first.empty()) {
      // The count above and the cursor agree on what a blank line is; the
      // check only keeps a disagreement from looping forever.
      if (cursor.remainingBytes() == 0) cursor.fail("the file ends early (expected " + std::to_string(points.count) + " points)");
      cursor.nextLine();
      continue;
    }
    float v[6];
    readPointLine(cursor, first, v, i);
    points.setPosition(i, v[0], v[1], v[2]);
    points.setNormal(i, v[3], v[4], v[5]);
    printPointProgress(console, i);
    cursor.nextLine();
    ++i;
  }
  printReadDone(console);
  return points;
}

PointSet readXyzFile(const std::string& path, std::FILE* console) {
  const std::string data = loadFileBytes(path);
  return readXyzData(data, path, console);
}

}  // namespace wendfit
