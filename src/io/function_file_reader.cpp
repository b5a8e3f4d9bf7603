// Reading a result file back, for evaluation and for meshing. The writer
// lists each cell's records head to tail and the tree puts every new record
// at the head of its cell's list, so the records are inserted in reverse file
// order.

#include "io/function_file_reader.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/text_scanner.h"

namespace wendfit {

namespace {

// A record is fifteen numbers, each at least one character after one
// separator.
constexpr size_t kMinBytesPerRecord = 30;

const char* const kRecordFields[14] = {
    "the centre x of basis function",   "the centre y of basis function",
    "the centre z of basis function",   "coefficient 0 of basis function",
    "coefficient 1 of basis function",  "coefficient 2 of basis function",
    "coefficient 3 of basis function",  "coefficient 4 of basis function",
    "coefficient 5 of basis function",  "coefficient 6 of basis function",
    "coefficient 7 of basis function",  "coefficient 8 of basis function",
    "coefficient 9 of basis function",  "the radius of basis function"};

int readRecordCount(TextScanner& scanner) {
  const int count = scanner.readInt("the number of basis functions");
  const long line = scanner.line();
  if (count < 0) {
    scanner.fail("negative basis function count " + std::to_string(count), "a count of at least 0", -1);
  }
  const size_t fits = scanner.remainingBytes() / kMinBytesPerRecord;
  if (static_cast<size_t>(count) > fits) {
    throw Error(fileMessage(scanner.name(), line,
                            "basis function count " + std::to_string(count) +
                                " is larger than the file can hold (expected at most " +
                                std::to_string(fits) + " basis functions)"));
  }
  return count;
}

BasisFunction readRecord(TextScanner& scanner, int index) {
  BasisFunction f;
  float* fields[14] = {&f.centre[0], &f.centre[1], &f.centre[2], &f.coeff[0], &f.coeff[1],
                       &f.coeff[2],  &f.coeff[3],  &f.coeff[4],  &f.coeff[5], &f.coeff[6],
                       &f.coeff[7],  &f.coeff[8],  &f.coeff[9],  &f.radius};
  for (int k = 0; k < 14; ++k) *fields[k] = scanner.readFloat(kRecordFields[k], index);
  if (!(f.radius > 0.0f)) {
    scanner.fail("radius " + std::to_string(f.radius) + " of basis function " + std::to_string(index),
                 "a positive radius", -1);
  }
  f.level = scanner.readInt("the level of basis function", index);
  return f;
}

}  // namespace

std::unique_ptr<ImplicitFunction> readFunctionFile(const std::string& path) {
  TextScanner scanner = TextScanner::fromFile(path);
  float boxMin[3], boxMax[3];
  for (int k = 0; k < 3; ++k) boxMin[k] = scanner.readFloat("a coordinate of the lower box corner");
  for (int k = 0; k < 3; ++k) boxMax[k] = scanner.readFloat("a coordinate of the upper box corner");
  const int count = readRecordCount(scanner);
  const float offset = scanner.readFloat("the offset");

  std::vector<BasisFunction> records;
  records.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) records.push_back(readRecord(scanner, i));
  if (!scanner.atEnd()) {
    scanner.fail("unexpected text " + std::string(scanner.peekToken().substr(0, 40)) +
                     " after the last basis function",
                 ("exactly " + std::to_string(count) + " basis functions").c_str(), -1);
  }

  auto function = std::make_unique<ImplicitFunction>(boxMin, boxMax, nullptr);
  function->setOffset(offset);
  std::reverse(records.begin(), records.end());
  function->addLevel(std::move(records));
  return function;
}

}  // namespace wendfit
